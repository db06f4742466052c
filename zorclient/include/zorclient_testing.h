/*
 * zorclient_testing.h - controls of the stand-in library for tests.
 *
 * Not part of the client library's interface: tests use these to provoke
 * failures, to count what is alive and to make messages as they arrive from
 * other clients. zorClient_msg_setHttpContentType (in zorclient.h) is one too.
 * A library built with -DZORCLIENT_TEST_CONTROLS=OFF has none of them, and
 * does not install this header.
 */
#ifndef ZORCLIENT_TESTING_H
#define ZORCLIENT_TESTING_H

#include "zorclient.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The next n calls of zorClient_msg_alloc fail (handle untouched, error text set). */
ZORCLIENT_API void zorClient_testing_failAllocs(unsigned n);

/* Messages allocated and not yet freed. */
ZORCLIENT_API unsigned zorClient_testing_liveMsgs(void);

/* Container handles open now: created containers not yet closed, and handles
 * handed out for map bodies or nested containers whose owner still lives. */
ZORCLIENT_API unsigned zorClient_testing_liveContainers(void);

/* Sets the body of a message to `size` bytes taken as an encoded map, as a
 * map body arrives from the network: nothing is checked until it is read. */
ZORCLIENT_API zorClient_returnCode_t zorClient_testing_msg_setMapAttachment(zorClient_opaqueMsg_pt msg_p,
                                                                            const void* data, zorClient_uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZORCLIENT_TESTING_H */
