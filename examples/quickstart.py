"""A typical use of a zormsg message: build, address, give it a body, read it back."""
import zormsg
from zormsg import Destination, DeliveryMode, ZorMsg

msg = ZorMsg()
print("new message:", repr(msg).splitlines()[0] if repr(msg) else "(empty dump)")

# Address it: a topic to publish on, and a queue for the answer.
msg.dest = Destination("orders/eu/new")
msg.reply2 = Destination("orders.replies", zormsg.Queue)
msg.delivery_mode = DeliveryMode.Persistent
msg.elide = True
print("dest:", msg.dest.dest, msg.dest.dest_type)
print("reply2:", msg.reply2.dest, msg.reply2.dest_type)
print("delivery_mode:", msg.delivery_mode, "| elide:", msg.elide)
print("is_request:", msg.is_request, "| is_reply:", msg.is_reply, "| is_p2p:", msg.is_p2p)

# A raw body.
msg.body = b"\x00raw bytes\xff"
print("body:", msg.body, "| content_type:", repr(msg.content_type))

# A JSON body round trip.
order = {"id": 42, "items": ["apple", "pear"], "total": 3.5, "paid": False}
msg.json = order
print("json body bytes:", msg.body)
print("content_type:", msg.content_type, "| json:", msg.json)
assert msg.json == order

# A MessagePack body round trip.
msg.msgpack = order
print("msgpack body:", msg.body.hex(), "| content_type:", msg.content_type)
print("msgpack:", msg.msgpack)
assert msg.msgpack == order

# The answer to a request.
reply = ZorMsg()
reply.dest = msg.reply2
reply.is_reply = True
reply.json = {"id": 42, "status": "accepted"}
print("reply is_reply:", reply.is_reply, "| dest:", reply.dest.dest, "| json:", reply.json)

print()
print(repr(msg))
