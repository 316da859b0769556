# Many stack dumps while threads start and finish (test_churn.py), after
# the agent's prelude and test_churn.py's helpers; DUMPS and TMP are set
# before it.
read_end, write_end = os.pipe()
assert threadsnap.dump_all_threads_stack(write_end, 0) == 0
os.close(write_end)
probe = os.read(read_end, 1 << 20)
os.close(read_end)
if not probe:
    skip("this build of the reference agent's dump_threads writes nothing yet")

baseline = snapshot()
null = os.open("/dev/null", os.O_WRONLY)
stop = threading.Event()
errors = []
started = [0]

def nested(depth):
    if depth:
        return nested(depth - 1)
    time.sleep(0.0005 * (threading.get_ident() % 3))

def spawner():
    # Keeps starting short-lived threads of varying depth until told to stop.
    try:
        n = 0
        while not stop.is_set():
            batch = [threading.Thread(target=nested, args=((n + i) % 40,), name=f"churn-{n + i}")
                     for i in range(1 + n % 4)]
            for thread in batch:
                thread.start()
                started[0] += 1
            for thread in batch:
                thread.join()
            n += len(batch)
    except BaseException as exc:
        errors.append(exc)

spawners = [threading.Thread(target=spawner, name=f"spawner-{i}") for i in range(2)]
for thread in spawners:
    thread.start()
me = str(threading.get_native_id()).encode()
try:
    for i in range(DUMPS):
        frames = (0, 1, 3, 50, -1)[i % 5]
        assert threadsnap.dump_all_threads_stack(null, frames) == 0
        if i % 10 == 0:
            time.sleep(0)  # let the spawners run between dumps
        if i % 500 == 0:
            # Now and then into a file, to see the dump still makes sense.
            with open(os.path.join(TMP, "dump.txt"), "w+b") as out:
                assert threadsnap.dump_all_threads_stack(out.fileno(), 0) == 0
                out.seek(0)
                text = out.read()
            assert me in text, text[:2000]
finally:
    stop.set()
    for thread in spawners:
        thread.join()
assert not errors, errors
assert started[0] >= DUMPS // 100, f"only {started[0]} threads started during the dumps"
os.close(null)
assert_back_to(baseline, "after the dumps")
print("dumps done", DUMPS, "threads started", started[0])
