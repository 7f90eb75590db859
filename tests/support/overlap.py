"""The wall time of 8 threads each making the blocking call given as argv[1]."""

import json
import sys
import threading
import time

import velkora.mount as m

threads = [threading.Thread(target=eval, args=(sys.argv[1], {"m": m})) for _ in range(8)]
start = time.monotonic()
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(time.monotonic() - start))
