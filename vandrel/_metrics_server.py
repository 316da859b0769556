"""``python -m vandrel run --gil-metrics-port``: Prometheus's ``/metrics``
served from the GIL interceptor's latest report.

One thread serves the requests one after another (a scrape takes a few
milliseconds), so scrapes do not start a thread each: the program's report
shows the server as one long-lived thread, ``vandrel-metrics``.  The thread
is a daemon: it never keeps the program alive.
"""
from __future__ import annotations

import http.server
import socket
import threading
from typing import Any, Dict, Optional, Tuple

__all__ = ["DEFAULT_ADDRESS", "parse_listen_address", "LatestReport", "MetricsServer"]

#: Where the metrics are served when only a port is given.
DEFAULT_ADDRESS = "127.0.0.1"
# A scraper that stops sending or reading must not hold the one thread.
_CLIENT_TIMEOUT_S = 10.0
THREAD_NAME = "vandrel-metrics"


def parse_listen_address(text: str) -> Tuple[str, int]:
    """``[ADDR:]PORT`` as (address, port): ``9100``, ``0.0.0.0:9100``,
    ``localhost:9100``, ``[::1]:9100``.  Port 0 takes any free port.
    Raise ``ValueError`` saying what is wrong."""
    address, separator, port_text = text.rpartition(":")
    if not separator:
        address = DEFAULT_ADDRESS
    elif address.startswith("[") and address.endswith("]"):
        address = address[1:-1]
    elif ":" in address:
        raise ValueError(f"put an IPv6 address in brackets, as [::1]:9100, got {text!r}")
    if not address:
        raise ValueError(f"no address before the colon in {text!r}; give one (0.0.0.0 for "
                         f"every interface) or just the port, served on {DEFAULT_ADDRESS}")
    if not port_text.isascii() or not port_text.isdigit() or int(port_text) > 65535:
        raise ValueError(f"the port must be a number from 0 to 65535, got {text!r}")
    return address, int(port_text)


class LatestReport:
    """The interceptor's sink for the metrics: keeps the latest report dict
    (each one is whole, cumulative since the switch-on), and passes it on
    (``then()``).  Calling the object gives the latest as a
    ``GilReport`` (None before the first)."""

    def __init__(self) -> None:
        self._then: Any = None
        self._lock = threading.Lock()
        self._latest: Optional[Dict[str, Any]] = None
        self._latest_object: Any = None

    def then(self, sink: Any) -> None:
        """Pass each report on to `sink` (None: to nobody) once kept."""
        self._then = sink

    def sink(self, report: Dict[str, Any]) -> None:
        with self._lock:
            self._latest = report
            self._latest_object = None
        if self._then is not None:
            self._then(report)

    def __call__(self) -> Any:
        from vandrel._report import GilReport
        with self._lock:
            if self._latest is None:
                return None
            if self._latest_object is None:
                self._latest_object = GilReport.from_dict(self._latest)
            return self._latest_object


class _Server(http.server.HTTPServer):
    # The socket is bound by the constructor: a port in use fails there,
    # before the program starts.
    allow_reuse_address = True

    def __init__(self, address: Tuple[str, int], handler: Any, family: int) -> None:
        self.address_family = family
        super().__init__(address, handler)


class MetricsServer:
    """``/metrics`` on (address, port), in Prometheus's text format, from
    `source` (see ``vandrel.metrics.GilCollector``).  The socket is bound
    here; ``start()`` starts serving.  Raise ``ImportError`` without
    ``prometheus_client``, ``OSError`` when the address cannot be bound."""

    def __init__(self, address: str, port: int, source: Any) -> None:
        from prometheus_client import CollectorRegistry
        from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest

        from vandrel.metrics import GilCollector

        registry = CollectorRegistry(auto_describe=False)
        registry.register(GilCollector(source))

        class Handler(http.server.BaseHTTPRequestHandler):
            timeout = _CLIENT_TIMEOUT_S

            def do_GET(self) -> None:
                path = self.path.split("?", 1)[0]
                if path not in ("/metrics", "/"):
                    self.send_error(404, "only /metrics is served here")
                    return
                body = generate_latest(registry)
                self.send_response(200)
                self.send_header("Content-Type", CONTENT_TYPE_LATEST)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, format: str, *args: Any) -> None:
                pass  # the program's stderr is the program's

        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        self._server = _Server((address, port), Handler, family)
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        if isinstance(host, bytes):
            host = host.decode()
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/metrics"

    def start(self) -> None:
        # A short poll, so that close() at exit returns at once.
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        name=THREAD_NAME, daemon=True)
        self._thread.start()

    def close(self) -> None:
        """Stop serving (when started) and close the socket."""
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()
