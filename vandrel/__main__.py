"""Command line of the vandrel agent.

    python -m vandrel run script.py [args...]    run a script with the agent loaded
    python -m vandrel run -m module [args...]    the same for a module, like python -m
    python -m vandrel path                       print the agent library's path

The agent is loaded into this interpreter with dlopen, then the script runs
in it as ``__main__`` with ``sys.argv`` set to the script and its arguments;
its exit status is this process's exit status.  The agent is not put into
LD_PRELOAD, so child processes of the script are not affected; a child that
wants the agent is started through ``python -m vandrel run`` itself.
"""
import os
import runpy
import sys

import vandrel

USAGE = __doc__.split("\n\n")[1]


def _usage_error(message):
    sys.stderr.write(f"vandrel: {message}\nusage:\n{USAGE}\n")
    return 2


def _run(args):
    if not args:
        return _usage_error("run: missing script")
    try:
        vandrel.load_agent()
    except OSError as error:
        sys.stderr.write(f"vandrel: cannot load the agent: {error}\n")
        return 1

    if args[0] == "-m":
        if len(args) < 2:
            return _usage_error("run -m: missing module name")
        module_name = args[1]
        # runpy replaces argv[0] with the module's file, as python -m does.
        sys.argv = [module_name] + args[2:]
        runpy.run_module(module_name, run_name="__main__", alter_sys=True)
        return 0

    script = args[0]
    if not os.path.exists(script):
        sys.stderr.write(f"vandrel: can't open file {script!r}: No such file or directory\n")
        return 2
    sys.argv = list(args)
    # As for `python script.py`: the script's own directory comes first
    # on sys.path, instead of the launcher's working directory.
    sys.path[0] = os.path.dirname(os.path.realpath(script))
    runpy.run_path(script, run_name="__main__")
    return 0


def main(argv):
    if not argv:
        return _usage_error("missing command")
    if argv[0] in ("-h", "--help"):
        sys.stdout.write(f"usage:\n{USAGE}\n")
        return 0
    command, args = argv[0], argv[1:]
    if command == "path":
        if args:
            return _usage_error("path takes no arguments")
        try:
            print(vandrel.agent_path())
        except FileNotFoundError as error:
            sys.stderr.write(f"vandrel: {error}\n")
            return 1
        return 0
    if command == "run":
        return _run(args)
    return _usage_error(f"unknown command {command!r}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
