#!/usr/bin/python3
"""A scripted HTTP(S) server for the network tests, on 127.0.0.1 only.

Usage: http_test_server.py DIR [CERT KEY]
Writes the chosen port to DIR/port once it listens, appends one JSON line per request to
DIR/requests.log, and answers by the first path segment:
  /status/<code>   that status with a short body
  /garbage         200 with bytes that are no OCSP response
  /cut             200 announcing 1000 bytes, sending 10, then closing
  /stall           nothing for 60 s (the client's time-out must end it)
  /big/<n>         200 with n bytes
  /file/<name>     200 with DIR/files/<name>, 404 when missing
  /fwd/<name>      POSTs the body to the port in DIR/fwd-<name> (an OCSP responder) and
                   relays its answer
  /redirect/<url>  302 to the rest of the path
  /redirect307/<url> 307 (the method and body are kept) to the rest of the path
  /answer/<name>   200 with DIR/files/<name> and the content type in DIR/files/<name>.type
                   (none when that file is empty; query strings are ignored)
  /cutanswer/<name> the same, announcing 100 bytes more than it sends, then closing
Stops by itself after 10 minutes.
"""
import http.client
import http.server
import json
import os
import ssl
import sys
import threading
import time

DIR = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _record(self, body):
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "length": len(body),
            "body": body.decode("latin-1"),
            "time": time.time(),
        }
        with open(os.path.join(DIR, "requests.log"), "a") as log:
            log.write(json.dumps(entry) + "\n")

    def _send(self, status, body, content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _handle(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self._record(body)
        parts = self.path.lstrip("/").split("/", 1)
        kind = parts[0]
        arg = parts[1] if len(parts) > 1 else ""
        if kind == "status":
            self._send(int(arg), b"status page")
        elif kind == "garbage":
            self._send(200, b"<html>not an OCSP response</html>", "application/ocsp-response")
        elif kind == "cut":
            self.send_response(200)
            self.send_header("Content-Type", "application/ocsp-response")
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
        elif kind == "stall":
            time.sleep(60)
        elif kind == "big":
            self._send(200, b"x" * int(arg))
        elif kind == "file":
            path = os.path.join(DIR, "files", os.path.basename(arg))
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    self._send(200, f.read(), "application/pkix-cert")
            else:
                self._send(404, b"missing")
        elif kind == "fwd":
            with open(os.path.join(DIR, "fwd-" + os.path.basename(arg))) as f:
                port = int(f.read().strip())
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
            conn.request("POST", "/", body, {"Content-Type": "application/ocsp-request"})
            answer = conn.getresponse()
            data = answer.read()
            self._send(answer.status, data, "application/ocsp-response")
        elif kind in ("answer", "cutanswer"):
            name = os.path.basename(arg.split("?", 1)[0])
            path = os.path.join(DIR, "files", name)
            if not os.path.isfile(path):
                self._send(404, b"missing")
                return
            with open(path, "rb") as f:
                data = f.read()
            with open(path + ".type") as f:
                content_type = f.read()
            self.send_response(200)
            if content_type:
                self.send_header("Content-Type", content_type)
            extra = 100 if kind == "cutanswer" else 0
            self.send_header("Content-Length", str(len(data) + extra))
            self.end_headers()
            self.wfile.write(data)
            self.wfile.flush()
            if extra:
                self.close_connection = True
        elif kind in ("redirect", "redirect307"):
            self.send_response(302 if kind == "redirect" else 307)
            self.send_header("Location", arg)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            self._send(404, b"unknown")

    do_GET = _handle
    do_POST = _handle


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if len(sys.argv) > 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Timer(600, lambda: os._exit(0)).start()
    with open(os.path.join(DIR, "port.tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(os.path.join(DIR, "port.tmp"), os.path.join(DIR, "port"))
    server.serve_forever()


main()
