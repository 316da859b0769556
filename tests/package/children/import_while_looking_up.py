# Run by test_endings.py::test_agent_lookup_beside_a_thread_loading_extensions
# with COPIES set before it: a thread loads COPIES copies of an extension
# module (dlopen with the GIL held) while this one looks the agent up again
# and again.
import importlib, importlib.machinery, importlib.util, os, shutil, tempfile, threading
import vandrel

# A standard extension that is a file of its own (Debian builds some in).
name, origin = next((name, path) for name in ("_json", "_zoneinfo", "_bz2", "_decimal")
                    for path in [getattr(importlib.import_module(name), "__file__", "")]
                    if path.endswith(".so"))
folder = tempfile.mkdtemp()
paths = []
for i in range(COPIES):
    paths.append(os.path.join(folder, f"{name}_copy{i}.so"))
    shutil.copyfile(origin, paths[-1])


def load_copies():
    for path in paths:
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        loader.create_module(importlib.util.spec_from_file_location(name, path, loader=loader))


loading = threading.Thread(target=load_copies)
loading.start()
while True:                 # at least once, however fast the loads go
    assert vandrel.loaded_agent_paths() == []
    if not loading.is_alive():
        break
loading.join()
shutil.rmtree(folder)
print("done")
