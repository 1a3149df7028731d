#!/usr/bin/env python3
# A broker that speaks MQTT 3.1.1 only, as some hosted brokers and IoT hubs do: an MQTT 5
# CONNECT gets CONNACK code 1 (unacceptable protocol version) in the 3.1.1 numbering.
# Routes PUBLISH to exact-topic subscribers at QoS 0. With --silent it takes connections
# and never answers, as a hung broker. Usage: mqtt311_broker.py PORT [--silent]
import socket
import struct
import sys
import threading

subscribers = {}  # socket -> set of topics
lock = threading.Lock()


def read_packet(stream):  # at the end of the stream, indexing b"" raises IndexError
    first, length, shift = stream.read(1)[0], 0, 0
    while True:
        byte = stream.read(1)[0]
        length, shift = length | (byte & 0x7F) << shift, shift + 7
        if not byte & 0x80:
            return first >> 4, first & 0x0F, stream.read(length)


def packet(kind, body):
    size, out = len(body), b""
    while True:
        size, byte = size >> 7, size & 0x7F
        out += bytes([byte | (0x80 if size else 0)])
        if not size:
            return bytes([kind]) + out + body


def string_at(body, at):
    end = at + 2 + struct.unpack(">H", body[at:at + 2])[0]
    return body[at + 2:end].decode(), end


def handle(kind, flags, body, conn):
    if kind == 8:  # SUBSCRIBE: exact topics, QoS 1 granted
        at, topics = 2, set()
        while at < len(body):
            topic, at = string_at(body, at)
            topics.add(topic)
            at += 1
        with lock:
            subscribers[conn] |= topics
        conn.sendall(packet(0x90, body[:2] + b"\x01" * len(topics)))
    elif kind == 3:  # PUBLISH, passed on at QoS 0
        topic, at = string_at(body, 0)
        if flags & 0x06:
            conn.sendall(packet(0x40, body[at:at + 2]))
        forward = packet(0x30, body[:at] + body[at + (2 if flags & 0x06 else 0):])
        with lock:
            targets = [s for s, topics in subscribers.items() if topic in topics]
        for target in targets:
            target.sendall(forward)
    elif kind == 12:  # PINGREQ
        conn.sendall(b"\xd0\x00")
    elif kind == 14:  # DISCONNECT
        raise ConnectionError


def serve(conn):
    stream = conn.makefile("rb")
    try:
        kind, _, body = read_packet(stream)
        accepted = kind == 1 and body[string_at(body, 0)[1]] == 4  # protocol level 4 is 3.1.1
        conn.sendall(b"\x20\x02\x00" + (b"\x00" if accepted else b"\x01"))
        with lock:
            subscribers[conn] = set()
        while accepted:
            handle(*read_packet(stream), conn)
    except (ConnectionError, OSError, IndexError, struct.error):
        pass
    with lock:
        subscribers.pop(conn, None)
    conn.close()


def main():
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(sys.argv[1])))
    server.listen()
    if sys.argv[2:] == ["--silent"]:
        threading.Event().wait()  # the kernel completes the handshakes; nothing reads
    while True:
        threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()


if __name__ == "__main__":
    main()
