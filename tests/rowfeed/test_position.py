"""The saved position is never guessed: a record that is there and holds no
position ends the start and is left as it was; a position the server no
longer serves ends the first cycle with what was lost."""
import os

import pytest

from feedlab import Feed, OwnSchema, master_position, sql

# (name, the record's bytes, what the line says is wrong)
BAD_RECORDS = [
    ("not JSON", "log_file=mysql-bin.000001", "cannot be read as a JSON record"),
    ("truncated", '{"log_file": "mysql-bin.0000', "cannot be read as a JSON record"),
    ("empty", "", "cannot be read as a JSON record"),
    ("no file", '{"log_pos": 4}', 'holds no "log_file"'),
    ("no position", '{"log_file": "mysql-bin.000001"}', 'holds no "log_pos"'),
    ("an empty object", "{}", 'holds no "log_file"'),
    ("a list", "[1, 2]", "holds [1, 2], not"),
    ("a position as text", '{"log_file": "mysql-bin.000001", "log_pos": "4"}',
     "\"log_pos\" is '4', not a position"),
    ("a position before any event", '{"log_file": "mysql-bin.000001", "log_pos": 3}',
     '"log_pos" is 3, not a position'),
    ("a position past 32 bits", '{"log_file": "mysql-bin.000001", "log_pos": 4294967296}',
     '"log_pos" is 4294967296, not a position'),
    ("true as a position", '{"log_file": "mysql-bin.000001", "log_pos": true}',
     '"log_pos" is True, not a position'),
    ("an empty file name", '{"log_file": "", "log_pos": 4}', "\"log_file\" is '', not"),
    ("a number as file name", '{"log_file": 7, "log_pos": 4}', '"log_file" is 7, not'),
]


@pytest.mark.parametrize("name, content, what", BAD_RECORDS, ids=[b[0] for b in BAD_RECORDS])
def test_a_record_that_holds_no_position_ends_the_start_and_stays(tmp_path, name, content, what):
    feed = Feed(tmp_path)
    path = os.path.join(feed.tmp, "rowfeed.json")
    with open(path, "w") as f:
        f.write(content)
    run = feed.run(timeout=60)
    assert run.status == 1 and run.err.rstrip().endswith("MS107"), run
    assert "Traceback" not in run.err, run
    [line] = [l for l in run.lines() if l.startswith("MS107")]
    assert line.startswith("MS107 position record %s %s" % (path, what)), run
    assert open(path).read() == content
    # nothing was read: no cycle began
    assert not any(l.startswith("found log_pos") for l in run.lines()), run


def test_without_a_record_the_feed_starts_at_the_current_position(tmp_path):
    feed = Feed(tmp_path)
    run = feed.run(timeout=60)
    assert not any(l.startswith("MS107") for l in run.lines()), run
    assert feed.record()["log_file"] == master_position()["log_file"]


def oldest_log():
    return sql("SHOW BINARY LOGS")[0][0]


def test_a_purged_file_names_what_is_lost_and_ends_the_feed(tmp_path):
    feed = Feed(tmp_path, MAX_QMSG_COUNT=1000)
    # a file before the oldest the server has: as the server sees a purged one
    gone = {"log_file": "mysql-bin.000000", "log_pos": 4}
    feed.resume_from(gone)
    run = feed.run(timeout=60)
    [line] = [l for l in run.lines() if l.startswith("MS150")]
    oldest = oldest_log()
    assert line.startswith("MS150 saved position mysql-bin.000000 4 is no longer on the server: "
                           "its oldest binary log is %s; the rows written from mysql-bin.000000 "
                           "up to %s are lost to the feed" % (oldest, oldest)), run
    assert '{"log_file": "%s", "log_pos": 4}' % oldest in line, run
    assert run.status == 1 and run.err.rstrip().endswith("MS150"), run
    # ended in its first cycle, not retried every cycle
    assert sum(1 for l in run.lines() if l.startswith("found log_pos")) == 1, run
    assert feed.record() == gone


def test_a_position_the_server_refuses_ends_the_feed(tmp_path):
    feed = Feed(tmp_path, MAX_QMSG_COUNT=1000)
    past = {"log_file": master_position()["log_file"], "log_pos": 4000000000}
    feed.resume_from(past)
    run = feed.run(timeout=60)
    [line] = [l for l in run.lines() if l.startswith("MS150")]
    assert line.startswith("MS150 the server refuses to send its log from the saved position "
                           "%s 4000000000 (server:" % past["log_file"]), run
    assert run.status == 1 and run.err.rstrip().endswith("MS150"), run
    assert feed.record() == past


def test_a_record_that_cannot_be_written_is_named_and_the_old_one_stays(tmp_path):
    schema = OwnSchema("qz_i25_position")  # nothing in it: no row is published
    try:
        feed = schema.feed(tmp_path)
        start = master_position()
        feed.resume_from(start)
        run = feed.run(driver={"fail_saves": True})
    finally:
        schema.drop()
    failed = [l for l in run.lines() if l.startswith("MS108 ")]
    assert failed and failed[0].startswith(
        "MS108 the position record %s was not written: IOError(28, 'No space left on device')"
        % os.path.join(feed.tmp, "rowfeed.json")), run
    assert run.status == 1 and "Traceback" not in run.out, run
    assert feed.record() == start
