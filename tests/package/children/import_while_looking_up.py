# Run by test_endings.py::test_agent_lookup_beside_a_thread_loading_extensions
# with COPIES set before it: a thread loads COPIES copies of _json (dlopen
# with the GIL held) while this one looks the agent up again and again.
import importlib.machinery, importlib.util, os, shutil, tempfile, threading
import _json
import vandrel

folder = tempfile.mkdtemp()
paths = []
for i in range(COPIES):
    paths.append(os.path.join(folder, f"_json_copy{i}.so"))
    shutil.copyfile(_json.__file__, paths[-1])


def load_copies():
    for path in paths:
        loader = importlib.machinery.ExtensionFileLoader("_json", path)
        loader.create_module(importlib.util.spec_from_file_location("_json", path, loader=loader))


loading = threading.Thread(target=load_copies)
loading.start()
lookups = 0
while loading.is_alive():
    assert vandrel.loaded_agent_paths() == []
    lookups += 1
loading.join()
shutil.rmtree(folder)
print("lookups", lookups > 0)
