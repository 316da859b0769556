# Run after the agent's prelude (children/prelude.py) by test_gil_report_text.py::
# test_a_thread_per_request_server_reads_in_twenty_rows: a ThreadingHTTPServer
# answering REQUESTS requests from a pool of 4 long-lived client threads.
import http.client, http.server
from concurrent.futures import ThreadPoolExecutor

REQUESTS = 200

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"ok"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
port = server.server_address[1]
reports = []
w = os.open("report.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
assert interceptor_on(lockgauge, sink=reports.append, report_fd=w) == 0
acceptor = threading.Thread(target=server.serve_forever, name="acceptor", daemon=True)
acceptor.start()

def client(count):
    for _ in range(count):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            connection.request("GET", "/")
            connection.getresponse().read()
        finally:
            connection.close()

with ThreadPoolExecutor(4) as pool:
    list(pool.map(client, [REQUESTS // 4] * 4))
    # The clients are still alive at the report, as a server's pool would be.
    server.shutdown()
    server.server_close()
    assert lockgauge.deinit_gil_interceptor() == 0
os.close(w)
with open("report.txt", encoding="utf-8") as f:
    text = f.read()
report = reports[-1]
report.pop("timeline", None)
emit({"text": text, "report": report, "requests": REQUESTS})
