"""An RFC 3161 timestamp server on 127.0.0.1 for the tests: each request is
answered by `openssl ts -reply` with a throwaway timestamping certificate.

    with LocalTsa(directory, tsa_cert, tsa_key, ca) as tsa:
        ... tsa.url ... tsa.requests ...
"""

import http.server
import os
import subprocess
import tempfile
import threading

CONFIG = """\
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {serial}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha1
accuracy = secs:1
ess_cert_id_alg = sha256
"""


class LocalTsa:
    def __init__(self, directory, cert, key, ca):
        self.directory = directory
        self.cert, self.key, self.ca = cert, key, ca
        self.config = os.path.join(directory, "tsa.cnf")
        serial = os.path.join(directory, "tsa.serial")
        with open(serial, "w", encoding="ascii") as f:
            f.write("01\n")
        with open(self.config, "w", encoding="ascii") as f:
            f.write(CONFIG.format(serial=serial))
        self.requests = 0
        self.errors = []
        self.server = None
        self.thread = None

    def reply(self, query):
        """The timestamp reply to one request, made by openssl."""
        with tempfile.TemporaryDirectory(dir=self.directory) as scratch:
            query_path = os.path.join(scratch, "query.tsq")
            reply_path = os.path.join(scratch, "reply.tsr")
            with open(query_path, "wb") as f:
                f.write(query)
            result = subprocess.run(
                ["openssl", "ts", "-reply", "-config", self.config, "-queryfile", query_path,
                 "-signer", self.cert, "-inkey", self.key, "-chain", self.ca,
                 "-out", reply_path],
                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
            if result.returncode != 0:
                self.errors.append(result.stderr)
                return None
            with open(reply_path, "rb") as f:
                return f.read()

    def __enter__(self):
        tsa = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                tsa.requests += 1
                body = tsa.reply(query)
                if body is None:
                    self.send_error(500)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass  # the test reports what matters

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}/"

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)
