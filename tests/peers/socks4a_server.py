#!/usr/bin/python3
"""A small SOCKS4/SOCKS4A server for the tests: CONNECT only, on one loopback port.

Usage: socks4a_server.py PORT [LOGFILE]

A request whose address is 0.0.0.x (x not 0) carries a host name after the user id, which the server
resolves itself. Each granted or refused request is written to LOGFILE as "user=<id> host=<name or address>
port=<port> result=<code>", so tests can see what the server was asked for.
"""

import socket
import struct
import sys
import threading

GRANTED, REJECTED = 90, 91


def read_exact(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_zero_terminated(conn, limit=4096):
    data = b""
    while True:
        byte = read_exact(conn, 1)
        if byte == b"\0":
            return data
        data += byte
        if len(data) > limit:
            raise ValueError("field too long")


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        try:
            sink.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def log(line):
    if LOGFILE:
        with LOCK, open(LOGFILE, "a") as out:
            out.write(line + "\n")


def serve(conn):
    try:
        head = read_exact(conn, 8)
        version, command, port = struct.unpack("!BBH", head[:4])
        address = head[4:]
        user = read_zero_terminated(conn).decode("latin-1")
        if address[:3] == b"\0\0\0" and address[3] != 0:
            host = read_zero_terminated(conn).decode("latin-1")
        else:
            host = socket.inet_ntoa(address)
        result, upstream = REJECTED, None
        if version == 4 and command == 1:
            try:
                upstream = socket.create_connection((host, port), timeout=10)
                upstream.settimeout(None)
                result = GRANTED
            except OSError:
                pass
        log("user=%s host=%s port=%d result=%d" % (user, host, port, result))
        conn.sendall(struct.pack("!BBH", 0, result, 0) + b"\0\0\0\0")
        if upstream is None:
            return
        back = threading.Thread(target=pump, args=(upstream, conn), daemon=True)
        back.start()
        pump(conn, upstream)
        back.join()
        upstream.close()
    except (EOFError, OSError, ValueError):
        pass
    finally:
        conn.close()


def main():
    global LOGFILE
    port = int(sys.argv[1])
    LOGFILE = sys.argv[2] if len(sys.argv) > 2 else None
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


LOGFILE = None
LOCK = threading.Lock()

if __name__ == "__main__":
    main()
