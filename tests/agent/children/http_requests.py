# Run after the agent's prelude (children/prelude.py) by test_gil_scale.py::
# test_short_request_threads_carry_their_threading_names.
import http.client, http.server, re

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(0.001)
        body = b"ok"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
port = server.server_address[1]
threading.Thread(target=server.serve_forever, name="acceptor", daemon=True).start()
reports = []
assert interceptor_on(lockgauge, sink=reports.append) == 0
failures = []
def client(count):
    for _ in range(count):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            connection.request("GET", "/")
            connection.getresponse().read()
        except OSError as error:
            failures.append(repr(error))
        finally:
            connection.close()
clients = [threading.Thread(target=client, args=(2500,), name=f"client-{i}") for i in range(4)]
for t in clients:
    t.start()
for t in clients:
    t.join()
server.shutdown()
server.server_close()
assert lockgauge.deinit_gil_interceptor() == 0
report = reports[-1]
pattern = re.compile(r"Thread-\d+ \(process_request_thread\)")
named_rows = sum(1 for t in report["threads"].values() if pattern.fullmatch(t["name"]))
groups = {g["name"]: g["count"] for g in report["groups"]}
emit({"named_rows": named_rows, "groups": groups, "failures": failures[:5],
      "rows": len(report["threads"])})
