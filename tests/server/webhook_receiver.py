#!/usr/bin/env python3
"""A webhook receiver for the tests: logs every POST as one JSON line; /ok answers 204, /fail 500, /hang never."""
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port, log_path = int(sys.argv[1]), sys.argv[2]
lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        length = min(int(self.headers.get("Content-Length", "0")), 1 << 20)
        body = self.rfile.read(length).decode("utf-8", "replace")
        with lock, open(log_path, "a") as log:
            log.write(json.dumps({"path": self.path, "type": self.headers.get("Content-Type"), "body": body}) + "\n")
        if self.path.startswith("/hang"):
            time.sleep(3600)
            return
        self.send_response(204 if self.path.startswith("/ok") else 500)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
server.daemon_threads = True
print("ready", flush=True)
server.serve_forever()
