# Free-threaded child, run with -W error: the package, both modules and a
# dump must leave the GIL off (importing a module that has not declared it
# runs without the GIL switches it back on, with a RuntimeWarning); the
# interceptor and GilMonitor refuse, naming the missing GIL.
import json
import sys

import vandrel

text = vandrel.format_stacks()  # loads the agent and imports threadsnap
import lockgauge
import threadsnap
from interceptor import interceptor_on

try:
    vandrel.GilMonitor().start()
    refusal = None
except vandrel.NotAvailable as error:
    refusal = str(error)
print("RESULT " + json.dumps({"gil": sys._is_gil_enabled(), "modules": [threadsnap.__name__, lockgauge.__name__],
                 "dump": text, "status": interceptor_on(lockgauge), "refusal": refusal}))
