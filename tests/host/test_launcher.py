"""A program source run as the host's main module, and loaded as a plain module."""
import subprocess
import sys

import pytest


@pytest.mark.parametrize("args, status", [
    (["exit", "0"], 0),
    (["exit", "7"], 7),
    ([], 0),                      # main returns normally
    (["raise"], 1),               # uncaught error
    (["setup-error"], 1),         # the set-up fails before main
])
def test_exit_status(program, args, status):
    assert program("probeprog", *args).status == status


def test_uncaught_error_prints_the_hosts_traceback(program):
    done = program("probeprog", "raise")
    assert done.err.startswith("Traceback (most recent call last):\n")
    assert done.err.endswith("ValueError: could not convert string to float: not a number\n")
    assert done.out == ""


def test_failed_import_during_setup_is_the_hosts_import_error(program):
    done = program("probeprog", "setup-error")
    assert done.err.splitlines()[-1] == "ImportError: No module named qz_no_such_module"


def test_process_arguments_become_the_hosts_argument_list(program):
    done = program("probeprog", "argv", "a b", "--x=1")
    argv, name = done.out.rsplit(" ", 1)
    assert eval(argv)[1:] == ["argv", "a b", "--x=1"]
    assert argv.endswith("'argv', 'a b', '--x=1']") and name == "__main__\n"


def test_log_lines_reach_a_pipe_as_they_are_written(program):
    # A block-buffered stdout would hold the line until exit; the child is
    # stopped by a signal before it can flush at exit.
    import os
    from harness import TEST_TREE
    proc = subprocess.Popen(
        [os.path.join(TEST_TREE, "probeprog"), "argv-then-wait"], stdout=subprocess.PIPE)
    try:
        line = proc.stdout.readline()
    finally:
        proc.kill()
        proc.wait()
    assert line.endswith("__main__\n")


@pytest.mark.parametrize("name", ["rowfeed", "postrunner", "visionbay"])
def test_programs_print_help_and_reject_unknown_options(program, name):
    helped = program(name, "--help")
    assert helped.status == 0
    assert helped.out.startswith("Usage: %s [options]\n" % name)
    assert "--ssl                 Enable SSL (default: not enabled)" in helped.out
    wrong = program(name, "--no-such-option")
    assert wrong.status == 2
    assert "%s: error: no such option: --no-such-option" % name in wrong.err


def test_feed_names_a_bad_interval_as_a_bad_setting(program):
    # the host's float conversion judges it, and the start ends as on any bad setting
    done = program("rowfeed", "--interval", "soon")
    assert done.status == 78
    assert done.out.split(" ", 2)[2] == ("MS104 setting --interval='soon' is not usable: it"
                                         " accepts a number of seconds from 0, finite\n")
    assert done.err == "MS104\n"


def test_import_runs_the_setup_only():
    import rowfeed
    import postrunner
    import visionbay
    assert (rowfeed.version, rowfeed.QZ_KEY, rowfeed.QZ_SLEEP) == ("0.010", "rowfeed", 3)
    assert type(rowfeed.version) is str and type(rowfeed.QZ_SLEEP) is int
    assert (postrunner.QZ_KEY, postrunner.smtp) == ("qz_mail", None)
    assert visionbay.QZ_KEY == "dnn_arpc"
    for module in (rowfeed, postrunner, visionbay):
        assert module.__name__ != "__main__" and callable(module.main)


def test_libraries_load_from_the_qz_package():
    from qz import dumptree, modelgate, sweeper
    assert modelgate.version == sweeper.version == "0.010"
    assert not hasattr(dumptree, "version")
    assert modelgate.__name__ == "qz.modelgate"


def test_a_missing_platform_module_fails_the_load(tmp_path):
    # A qz package without qzconfig: loading a program must fail with ImportError.
    import os
    from harness import TREE, run
    pkg = tmp_path / "qz"
    pkg.mkdir()
    (pkg / "__init__.py").write_text(u"")
    os.symlink(os.path.join(TREE, "rowfeed.so"), str(tmp_path / "rowfeed.so"))
    done = run([sys.executable, "-c", "import rowfeed"], env={"PYTHONPATH": str(tmp_path)})
    assert done.status == 1
    assert done.err.splitlines()[-1] == "ImportError: No module named qzconfig"
