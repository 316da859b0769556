# Free-threaded child, run with -W error: what the suite's tests and their
# children import beside the package (the asyncio servers, the metrics
# backends, the fuzzer) must leave the GIL off too, or the suite would
# test a build that has one.  Packages not installed are left out.
import importlib
import json
import sys

import vandrel

vandrel.format_stacks()
imported = []
for name in ("asyncio", "vandrel.metrics", "hypothesis", "prometheus_client",
             "opentelemetry.sdk.metrics", "uvloop", "aiohttp.web", "uvicorn", "starlette"):
    try:
        importlib.import_module(name)
    except ModuleNotFoundError:
        continue
    imported.append(name)
print("RESULT " + json.dumps({"gil": sys._is_gil_enabled(), "imported": imported}))
