/*
 * zorclient.h - C interface of the messaging client library.
 *
 * This is the in-tree stand-in for the closed client library. It keeps the
 * library's names, record layouts and calling conventions so that the module
 * builds unchanged against either.
 *
 * Conventions
 *  - Every call returns a zorClient_returnCode_t unless noted; outputs are
 *    written through pointers and are left untouched when a call fails.
 *  - Every failure leaves a NUL-terminated text in
 *    zorClient_getLastErrorInfo()->errorStr (per thread).
 *  - Handles are validated: a null, freed or closed handle makes the call fail
 *    with ZORCLIENT_FAIL; it is never dereferenced.
 *  - Data given to the library (names, texts, attachments, nested containers)
 *    is copied before the call returns. Pointers handed out by the library
 *    (texts, attachment data, nested container handles) point into the
 *    message or container and stay valid while it lives unchanged.
 *  - Containers (maps and streams) are built inside a buffer the caller owns;
 *    their content is never put on the heap. An add that does not fit fails
 *    with ZORCLIENT_FAIL and leaves the container unchanged.
 */
#ifndef ZORCLIENT_H
#define ZORCLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZORCLIENT_API
#else
#define ZORCLIENT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Scalar types                                                              */
/* ------------------------------------------------------------------------ */
typedef uint8_t zorClient_bool_t;
typedef uint8_t zorClient_uint8_t;
typedef int8_t zorClient_int8_t;
typedef uint16_t zorClient_uint16_t;
typedef int16_t zorClient_int16_t;
typedef uint32_t zorClient_uint32_t;
typedef int32_t zorClient_int32_t;
typedef uint64_t zorClient_uint64_t;
typedef int64_t zorClient_int64_t;
typedef uint32_t zorClient_wchar_t;

/* ------------------------------------------------------------------------ */
/* Return codes                                                              */
/* ------------------------------------------------------------------------ */
typedef enum zorClient_returnCode {
    ZORCLIENT_FAIL = -1, /* the call failed; see zorClient_getLastErrorInfo() */
    ZORCLIENT_OK = 0,
    ZORCLIENT_NOT_FOUND = 5, /* the asked-for item is absent */
    ZORCLIENT_EOS = 6        /* end of a container walk */
} zorClient_returnCode_t;

typedef struct zorClient_errorInfo {
    zorClient_returnCode_t sdkReturnCode;
    zorClient_int32_t subCode;
    char errorStr[256]; /* always NUL-terminated */
} zorClient_errorInfo_t, *zorClient_errorInfo_pt;

/* The calling thread's record of its last failure; never null. */
ZORCLIENT_API zorClient_errorInfo_pt zorClient_getLastErrorInfo(void);

/* ------------------------------------------------------------------------ */
/* Handles                                                                   */
/* ------------------------------------------------------------------------ */
typedef void* zorClient_opaqueMsg_pt;       /* a message; null = none */
typedef void* zorClient_opaqueContainer_pt; /* a map or a stream; null = none */

/* ------------------------------------------------------------------------ */
/* Destinations                                                              */
/* ------------------------------------------------------------------------ */
typedef enum zorClient_destinationType {
    ZORCLIENT_NULL_DESTINATION = -1,
    ZORCLIENT_TOPIC_DESTINATION = 0,
    ZORCLIENT_QUEUE_DESTINATION = 1,
    ZORCLIENT_TOPIC_TEMP_DESTINATION = 2,
    ZORCLIENT_QUEUE_TEMP_DESTINATION = 3
} zorClient_destinationType_t;

/* Record passed with its size (16 bytes on 64-bit platforms). */
typedef struct zorClient_destination {
    zorClient_destinationType_t destType;
    const char* dest; /* NUL-terminated name */
} zorClient_destination_t;

/* Longest destination name the library accepts, in bytes. */
#define ZORCLIENT_MAX_DEST_NAME_LEN 250

/* ------------------------------------------------------------------------ */
/* Delivery modes (values cross the boundary unchanged)                      */
/* ------------------------------------------------------------------------ */
#define ZORCLIENT_DELIVERY_MODE_DIRECT 0x00
#define ZORCLIENT_DELIVERY_MODE_PERSISTENT 0x10
#define ZORCLIENT_DELIVERY_MODE_NONPERSISTENT 0x20

/* ------------------------------------------------------------------------ */
/* Container fields                                                          */
/* ------------------------------------------------------------------------ */
typedef enum zorClient_fieldType {
    ZORCLIENT_UNKNOWN = -1,
    ZORCLIENT_BOOL = 0,
    ZORCLIENT_UINT8 = 1,
    ZORCLIENT_INT8 = 2,
    ZORCLIENT_UINT16 = 3,
    ZORCLIENT_INT16 = 4,
    ZORCLIENT_UINT32 = 5,
    ZORCLIENT_INT32 = 6,
    ZORCLIENT_UINT64 = 7,
    ZORCLIENT_INT64 = 8,
    ZORCLIENT_WCHAR = 9,
    ZORCLIENT_STRING = 10,
    ZORCLIENT_BYTEARRAY = 11,
    ZORCLIENT_FLOAT = 12,
    ZORCLIENT_DOUBLE = 13,
    ZORCLIENT_MAP = 14,
    ZORCLIENT_STREAM = 15,
    ZORCLIENT_NULL = 16,
    ZORCLIENT_DESTINATION = 17,
    ZORCLIENT_SMF = 18 /* raw wire-encoded data */
} zorClient_fieldType_t;

/* One field as read by a walk; passed with its size (24 bytes). */
typedef struct zorClient_field {
    zorClient_fieldType_t type;
    zorClient_uint32_t length; /* bytes of the value as stored */
    union {
        zorClient_bool_t boolean;
        zorClient_uint8_t uint8;
        zorClient_int8_t int8;
        zorClient_uint16_t uint16;
        zorClient_int16_t int16;
        zorClient_uint32_t uint32;
        zorClient_int32_t int32;
        zorClient_uint64_t uint64;
        zorClient_int64_t int64;
        zorClient_wchar_t wchar;
        const char* string;                 /* NUL-terminated; may be null */
        const zorClient_uint8_t* bytearray; /* `length` bytes */
        const zorClient_uint8_t* smf;       /* `length` bytes */
        float float32;
        double float64;
        zorClient_opaqueContainer_pt map;
        zorClient_opaqueContainer_pt stream;
        zorClient_destination_t dest;
    } value;
} zorClient_field_t;

/* ------------------------------------------------------------------------ */
/* Messages                                                                  */
/* ------------------------------------------------------------------------ */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_alloc(zorClient_opaqueMsg_pt* msg_p);
/* Frees the message and nulls *msg_p. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_free(zorClient_opaqueMsg_pt* msg_p);
/* Readable multi-line text of the message; always NUL-terminated within
 * bufSize, cut to fit. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_dump(zorClient_opaqueMsg_pt msg_p, char* buffer, size_t bufSize);

ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setDestination(zorClient_opaqueMsg_pt msg_p,
                                                                  zorClient_destination_t* dest_p, size_t destSize);
/* ZORCLIENT_NOT_FOUND when no destination is set; the record is untouched. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getDestination(zorClient_opaqueMsg_pt msg_p,
                                                                  zorClient_destination_t* dest_p, size_t destSize);
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setReplyTo(zorClient_opaqueMsg_pt msg_p,
                                                              zorClient_destination_t* dest_p, size_t destSize);
/* ZORCLIENT_OK only when a reply-to destination is set. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getReplyTo(zorClient_opaqueMsg_pt msg_p,
                                                              zorClient_destination_t* dest_p, size_t destSize);

ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setAsReplyMsg(zorClient_opaqueMsg_pt msg_p,
                                                                 zorClient_bool_t isReply);
ZORCLIENT_API zorClient_bool_t zorClient_msg_isReplyMsg(zorClient_opaqueMsg_pt msg_p);
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setElidingEligible(zorClient_opaqueMsg_pt msg_p,
                                                                      zorClient_bool_t elide);
ZORCLIENT_API zorClient_bool_t zorClient_msg_isElidingEligible(zorClient_opaqueMsg_pt msg_p);
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setDeliverToOne(zorClient_opaqueMsg_pt msg_p,
                                                                   zorClient_bool_t toOne);
ZORCLIENT_API zorClient_bool_t zorClient_msg_isDeliverToOne(zorClient_opaqueMsg_pt msg_p);

/* The mode is stored as given. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setDeliveryMode(zorClient_opaqueMsg_pt msg_p,
                                                                   zorClient_uint32_t mode);
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getDeliveryMode(zorClient_opaqueMsg_pt msg_p,
                                                                   zorClient_uint32_t* mode_p);

ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setCorrelationId(zorClient_opaqueMsg_pt msg_p, const char* corrId);
/* ZORCLIENT_NOT_FOUND when none is set; *corrId_p points into the message. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getCorrelationId(zorClient_opaqueMsg_pt msg_p,
                                                                    const char** corrId_p);

/* Copies `size` bytes as the body (a size of 0 removes the body). */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setBinaryAttachment(zorClient_opaqueMsg_pt msg_p, const void* buf_p,
                                                                       zorClient_uint32_t size);
/* Points into the message. ZORCLIENT_NOT_FOUND when the message has no body.
 * For a map body the data is the map's encoded content. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getBinaryAttachmentPtr(zorClient_opaqueMsg_pt msg_p, void** buf_p,
                                                                          zorClient_uint32_t* size_p);
/* Copies the map's content into the message as its body. */
ZORCLIENT_API zorClient_returnCode_t
zorClient_msg_setBinaryAttachmentContainer(zorClient_opaqueMsg_pt msg_p, zorClient_opaqueContainer_pt container_p);
/* A read-only handle to the map body; the same handle for repeated calls while
 * the body is unchanged. It stays valid until it is closed, the body is
 * replaced or the message is freed. ZORCLIENT_FAIL when the body is not a map. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getBinaryAttachmentMap(zorClient_opaqueMsg_pt msg_p,
                                                                          zorClient_opaqueContainer_pt* map_p);

/* The message's one user property map, created on first use; `size` is only
 * its first size: it grows as needed. A string added under an existing name
 * replaces the value. The map belongs to the message. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_createUserPropertyMap(zorClient_opaqueMsg_pt msg_p,
                                                                         zorClient_opaqueContainer_pt* map_p,
                                                                         zorClient_uint32_t size);
/* ZORCLIENT_NOT_FOUND when the message has no user property map. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getUserPropertyMap(zorClient_opaqueMsg_pt msg_p,
                                                                      zorClient_opaqueContainer_pt* map_p);
/* ZORCLIENT_NOT_FOUND when the message carries no HTTP content type. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_getHttpContentType(zorClient_opaqueMsg_pt msg_p,
                                                                      const char** type_p);
/* A test control (see zorclient_testing.h): messages get their HTTP content
 * type from the network, and a library built without test controls lacks this. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setHttpContentType(zorClient_opaqueMsg_pt msg_p, const char* type);

/* ------------------------------------------------------------------------ */
/* Containers                                                                */
/* ------------------------------------------------------------------------ */
/* Overhead of an empty container and of one field beyond its name and value,
 * in bytes, for callers that size buffers. */
#define ZORCLIENT_CONTAINER_HEADER_SIZE 8
#define ZORCLIENT_FIELD_HEADER_SIZE 8

ZORCLIENT_API zorClient_returnCode_t zorClient_container_createMap(zorClient_opaqueContainer_pt* map_p, char* buffer,
                                                                   size_t size);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_createStream(zorClient_opaqueContainer_pt* stream_p,
                                                                      char* buffer, size_t size);
/* Finishes the container and nulls *container_p. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_closeMapStream(zorClient_opaqueContainer_pt* container_p);

/* Adds: the name is required in a map and ignored (may be null) in a stream.
 * A map keeps insertion order and accepts repeated names. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addBoolean(zorClient_opaqueContainer_pt container_p,
                                                                    zorClient_bool_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addUint8(zorClient_opaqueContainer_pt container_p,
                                                                  zorClient_uint8_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addInt8(zorClient_opaqueContainer_pt container_p,
                                                                 zorClient_int8_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addUint16(zorClient_opaqueContainer_pt container_p,
                                                                   zorClient_uint16_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addInt16(zorClient_opaqueContainer_pt container_p,
                                                                  zorClient_int16_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addUint32(zorClient_opaqueContainer_pt container_p,
                                                                   zorClient_uint32_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addInt32(zorClient_opaqueContainer_pt container_p,
                                                                  zorClient_int32_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addUint64(zorClient_opaqueContainer_pt container_p,
                                                                   zorClient_uint64_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addInt64(zorClient_opaqueContainer_pt container_p,
                                                                  zorClient_int64_t value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addWchar(zorClient_opaqueContainer_pt container_p,
                                                                  zorClient_wchar_t value, const char* name);
/* A null value adds a string field whose text reads back as null. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addString(zorClient_opaqueContainer_pt container_p,
                                                                   const char* value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addByteArray(zorClient_opaqueContainer_pt container_p,
                                                                      const zorClient_uint8_t* value,
                                                                      zorClient_uint32_t length, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addFloat(zorClient_opaqueContainer_pt container_p, float value,
                                                                  const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addDouble(zorClient_opaqueContainer_pt container_p,
                                                                   double value, const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addNull(zorClient_opaqueContainer_pt container_p,
                                                                 const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addDestination(zorClient_opaqueContainer_pt container_p,
                                                                        const zorClient_destination_t* value,
                                                                        const char* name);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addSmf(zorClient_opaqueContainer_pt container_p,
                                                                const zorClient_uint8_t* value,
                                                                zorClient_uint32_t length, const char* name);
/* Copies the nested container's content into the parent; the nested buffer may
 * be released afterwards. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_addContainer(zorClient_opaqueContainer_pt container_p,
                                                                      zorClient_opaqueContainer_pt sub_p,
                                                                      const char* name);

/* The last string field of that name; ZORCLIENT_NOT_FOUND when there is none. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_getStringPtr(zorClient_opaqueContainer_pt map_p,
                                                                      const char** value_p, const char* name);

/* Walk in insertion order: rewind, then getNextField until it returns anything
 * but ZORCLIENT_OK (ZORCLIENT_EOS at the end, ZORCLIENT_FAIL for corrupt
 * content). name_p may be null; for a stream *name_p is set to null. */
ZORCLIENT_API zorClient_returnCode_t zorClient_container_rewind(zorClient_opaqueContainer_pt container_p);
ZORCLIENT_API zorClient_returnCode_t zorClient_container_getNextField(zorClient_opaqueContainer_pt container_p,
                                                                      zorClient_field_t* field_p, size_t fieldSize,
                                                                      const char** name_p);

#ifdef __cplusplus
}
#endif

#endif /* ZORCLIENT_H */
