/*
 * The stand-in's test controls, declared for tests built against a client
 * library that has none; no_controls.cpp defines them to fail the test that
 * calls one. Same guard as the stand-in's header: whichever comes first serves.
 */
#ifndef ZORCLIENT_TESTING_H
#define ZORCLIENT_TESTING_H

#include "zorclient.h"

#ifdef __cplusplus
extern "C" {
#endif

void zorClient_testing_failAllocs(unsigned n);
typedef enum zorClient_testing_copy {
    ZORCLIENT_TESTING_COPY_BODY = 0,
    ZORCLIENT_TESTING_COPY_USER_PROPERTIES = 1
} zorClient_testing_copy_t;
void zorClient_testing_failCopies(zorClient_testing_copy_t what, unsigned n);
unsigned zorClient_testing_liveMsgs(void);
unsigned zorClient_testing_liveContainers(void);
zorClient_returnCode_t zorClient_testing_msg_setMapAttachment(zorClient_opaqueMsg_pt msg_p, const void* data,
                                                              zorClient_uint32_t size);
/* Declared again: a client library's header need not have it. */
zorClient_returnCode_t zorClient_msg_setHttpContentType(zorClient_opaqueMsg_pt msg_p, const char* type);

#ifdef __cplusplus
}
#endif

#endif /* ZORCLIENT_TESTING_H */
