"""Receives a message in native code and reads it from Python."""
import sys

# zormsg is not imported here: handing over the first message imports it.
import received_example

msg = received_example.receive()
assert "zormsg" in sys.modules and type(msg).__module__ == "zormsg", type(msg)
print("received:", type(msg).__name__, "on", msg.dest.dest)
body = received_example.body_of(msg)
assert body == {"symbol": "ACME-42", "price": 101.25, "qty": 300}, body
print("body as dict:", body)

reply = received_example.reply_to(msg, {"ack": True, "qty": 300})
assert reply.is_reply and reply.content_type == "bytes/json"
print("reply to", reply.dest.dest, "is_reply:", reply.is_reply, "content_type:", reply.content_type)
print("reply body as dict:", received_example.body_of(reply))

# A reply over 32 KiB: its map is built in a buffer handed back to the native
# code, which frees it once the message has let go of the map.
large = received_example.reply_to(msg, {"blob": "x" * 40000})
assert len(received_example.body_of(large)["blob"]) == 40000
print("large reply body:", len(received_example.body_of(large)["blob"]), "bytes of blob")
