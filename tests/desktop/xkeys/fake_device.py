#!/usr/bin/env python3
"""A device on TCP 127.0.0.1 for the real-key tests: answers every command
line with its prompt and logs connections and lines to a file."""
import socket
import sys
import threading

port, log_path = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()


def log(text):
    with lock, open(log_path, "a") as f:
        f.write(text + "\n")


def serve(conn, number):
    log(f"connect {number}")
    buf = b""
    try:
        while True:
            data = conn.recv(1024)
            if not data:
                break
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                log(f"line {number} {line.decode('latin-1')}")
                conn.sendall(b"OK " + line + b"\r\n>")
    except OSError:
        pass
    log(f"close {number}")
    conn.close()


server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", port))
server.listen(4)
print("ready", flush=True)
count = 0
while True:
    conn, _ = server.accept()
    count += 1
    threading.Thread(target=serve, args=(conn, count), daemon=True).start()
