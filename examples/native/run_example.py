"""Receives a message in native code and reads it from Python."""
import zormsg  # noqa: F401  registers ZorMsg; the native module returns objects of it
import received_example

msg = received_example.receive()
print("received:", type(msg).__name__, "on", msg.dest.dest)
print("body as dict:", received_example.body_of(msg))

reply = received_example.reply_to(msg, {"ack": True, "qty": 300})
print("reply to", reply.dest.dest, "is_reply:", reply.is_reply, "content_type:", reply.content_type)
print("reply body as dict:", received_example.body_of(reply))

# A reply over 32 KiB: its map is built in a buffer handed back to the native
# code, which frees it once the message has let go of the map.
large = received_example.reply_to(msg, {"blob": "x" * 40000})
print("large reply body:", len(received_example.body_of(large)["blob"]), "bytes of blob")
