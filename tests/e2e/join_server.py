#!/usr/bin/env python3
"""A remote join server for the end-to-end tests: HTTPS on 127.0.0.1 with the test's own
certificate. Each POST is written to <dir>/request-N.json; the answer is <dir>/answer.json after
<dir>/delay seconds (0 when the file is missing). Prints the port, then serves until killed."""
import http.server
import os
import ssl
import sys
import time

folder, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]


class Handler(http.server.BaseHTTPRequestHandler):
    count = 0

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        Handler.count += 1
        with open(os.path.join(folder, "request-%d.json" % Handler.count), "wb") as out:
            out.write(body)
        delay_file = os.path.join(folder, "delay")
        if os.path.exists(delay_file):
            time.sleep(float(open(delay_file).read()))
        answer = open(os.path.join(folder, "answer.json"), "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
