/*
 * zorclient_testing.h - controls of the stand-in library for tests.
 *
 * Not part of the client library's interface: tests use these to provoke
 * failures, to count what is alive and to make messages as they arrive from
 * other clients. zorClient_msg_setHttpContentType (in zorclient.h) is one too.
 * A library built with -DZORCLIENT_TEST_CONTROLS=OFF has none of them, and
 * does not install this header. zormsg's tests built against a library
 * without them take their declarations from this header all the same
 * (tests/no_controls), so it must compile with any library's zorclient.h.
 */
#ifndef ZORCLIENT_TESTING_H
#define ZORCLIENT_TESTING_H

#include "zorclient.h"

#ifndef ZORCLIENT_API /* another library's header need not define it */
#define ZORCLIENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The next n calls of zorClient_msg_alloc fail (handle untouched, error text set). */
ZORCLIENT_API void zorClient_testing_failAllocs(unsigned n);

/* What zorClient_testing_failCopies refuses to copy into a message. */
typedef enum zorClient_testing_copy {
    ZORCLIENT_TESTING_COPY_BODY = 0,            /* setBinaryAttachment, setBinaryAttachmentContainer */
    ZORCLIENT_TESTING_COPY_USER_PROPERTIES = 1, /* strings added to the user property map */
    ZORCLIENT_TESTING_COPY_DESTINATION = 2      /* destination names: setDestination, setReplyTo */
} zorClient_testing_copy_t;

/* The next n copies of that kind fail as when memory runs out: ZORCLIENT_FAIL,
 * an error text saying "out of memory", and the message left as it was. */
ZORCLIENT_API void zorClient_testing_failCopies(zorClient_testing_copy_t what, unsigned n);

/* Messages allocated and not yet freed. */
ZORCLIENT_API unsigned zorClient_testing_liveMsgs(void);

/* Container handles open now: created containers not yet closed, and handles
 * handed out for map bodies or nested containers whose owner still lives. */
ZORCLIENT_API unsigned zorClient_testing_liveContainers(void);

/* Sets the body of a message to `size` bytes taken as an encoded map, as a
 * map body arrives from the network: nothing is checked until it is read. */
ZORCLIENT_API zorClient_returnCode_t zorClient_testing_msg_setMapAttachment(zorClient_opaqueMsg_pt msg_p,
                                                                            const void* data, zorClient_uint32_t size);

/* Declared in zorclient.h too; again here, as another library's header need
 * not have it. */
ZORCLIENT_API zorClient_returnCode_t zorClient_msg_setHttpContentType(zorClient_opaqueMsg_pt msg_p, const char* type);

#ifdef __cplusplus
}
#endif

#endif /* ZORCLIENT_TESTING_H */
