"""A small HTTP server on 127.0.0.1 for the HTTP object's script test.

Usage: http_server.py PORTFILE. Binds a free port, writes it to PORTFILE and
serves until killed:
  GET  /hello   200 "hello"          GET /empty  200, no body
  GET  /agent   200, the User-Agent  GET /fail   500
  POST /echo    200, the request body as received
"""
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        routes = {
            "/hello": (200, b"hello"),
            "/empty": (200, b""),
            "/agent": (200, self.headers.get("User-Agent", "").encode()),
            "/fail": (500, b"server error"),
        }
        self.answer(*routes.get(self.path, (404, b"not found")))

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.answer(200, body) if self.path == "/echo" else self.answer(404, b"not found")

    def log_message(self, *args):
        pass


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(sys.argv[1], "w") as f:
        f.write(str(server.server_address[1]))
    server.serve_forever()


if __name__ == "__main__":
    main()
