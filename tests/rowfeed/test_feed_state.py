"""The feed's batch, checkpoint and exit reason as tables of event sequences
in and positions, limits and codes out: no server, milliseconds."""
import pytest

import feedstate

F = "mysql-bin.000007"

# (name, events, safe position after the last event, statement start after it)
CHECKPOINTS = [
    ("nothing saved before a resume", [("row",), ("ack",)], None, None),
    ("a resumed cycle starts where it resumed",
     [("resume", F, 400, 0)], (F, 400, 0), (F, 400, 0)),
    ("a resume past rows Kafka took keeps them counted, the re-read starts at the statement",
     [("resume", F, 400, 3)], (F, 400, 3), (F, 400, 0)),
    ("a statement's end with nothing in flight moves the position",
     [("resume", F, 400, 0), ("row",), ("end", F, 900, False)], (F, 900, 0), (F, 900, 0)),
    ("a statement's end with rows in flight waits for them",
     [("resume", F, 400, 0), ("row",), ("row",), ("end", F, 900, True)],
     (F, 400, 0), (F, 900, 0)),
    ("the acknowledgement moves it to the last statement's end",
     [("resume", F, 400, 0), ("row",), ("end", F, 900, True), ("ack",)],
     (F, 900, 0), (F, 900, 0)),
    ("a batch taken in the middle of a statement counts the statement's rows",
     [("resume", F, 400, 0), ("end", F, 500, False), ("row",), ("row",), ("row",), ("ack",)],
     (F, 500, 3), (F, 500, 0)),
    ("rows queued after the acknowledgement are not in it",
     [("resume", F, 400, 0), ("row",), ("row",), ("ack",), ("row",)], (F, 400, 2), (F, 400, 0)),
    ("a restart's rows to pass over count again from the statement",
     [("resume", F, 500, 2), ("row",), ("row",), ("row",), ("ack",)], (F, 500, 3), (F, 500, 0)),
    ("a stop while a restart passes over rows Kafka took keeps them all counted",
     [("resume", F, 500, 3), ("row",), ("row",), ("ack",)], (F, 500, 3), (F, 500, 0)),
    ("past the resumed statement its count no longer holds",
     [("resume", F, 500, 3), ("row",), ("row",), ("row",), ("end", F, 900, False), ("row",),
      ("ack",)], (F, 900, 1), (F, 900, 0)),
    ("the end of the log, all sent, is where the stream stands",
     [("resume", F, 400, 0), ("row",), ("end", F, 900, True), ("ack",), ("log_end", F, 1200)],
     (F, 1200, 0), (F, 900, 0)),
    ("a batch on its way moves the position, once taken, to where it was sent",
     [("resume", F, 400, 0), ("row",), ("row",), ("send",), ("row",), ("end", F, 900, True),
      ("row",), ("ack_send",)], (F, 400, 2), (F, 900, 0)),
    ("the statement's end while a batch is on its way waits for it",
     [("resume", F, 400, 0), ("row",), ("send",), ("end", F, 900, True)], (F, 400, 0), (F, 900, 0)),
    ("a batch sent after a statement's end takes the position past it",
     [("resume", F, 400, 0), ("row",), ("send",), ("end", F, 900, True), ("row",), ("ack_send",),
      ("send",), ("ack_send",)], (F, 900, 1), (F, 900, 0)),
    ("a batch sent while a restart passes over rows keeps them all counted",
     [("resume", F, 500, 3), ("row",), ("send",), ("row",), ("row",), ("ack_send",)],
     (F, 500, 3), (F, 500, 0)),
    ("a new cycle's resume forgets the rows of the statement before",
     [("resume", F, 400, 0), ("row",), ("row",), ("resume", F, 400, 0), ("ack",)],
     (F, 400, 0), (F, 400, 0)),
]


@pytest.mark.parametrize("name, events, safe, start", CHECKPOINTS, ids=[c[0] for c in CHECKPOINTS])
def test_checkpoint(name, events, safe, start):
    assert feedstate.checkpoint(events)[-1] == (safe, start)


def test_the_position_never_moves_back_while_a_statement_is_read():
    events = [("resume", F, 400, 0), ("end", F, 500, False)] + [("row",), ("ack",)] * 5
    safes = [safe for safe, _ in feedstate.checkpoint(events)]
    assert safes == sorted(safes, key=lambda s: (s[1], s[2]))


LIMITS = (100.0, 3.0, 1.0)  # characters, messages, seconds
# (name, steps, full at the last step, limits it asked for, in order)
BATCHES = [
    ("an empty fresh batch is due at once (its last send is at 0)",
     [("full", 5.0)], True, ["chars", "messages", "interval"]),
    ("characters reached: due without asking the rest",
     [("sent", 10.0), ("add", 60), ("add", 40), ("full", 10.0)], True, ["chars"]),
    ("below every limit: not due, all three asked",
     [("sent", 10.0), ("add", 10), ("full", 10.5)], False, ["chars", "messages", "interval"]),
    ("as many messages as the limit: not yet due",
     [("sent", 10.0), ("add", 1), ("add", 1), ("add", 1), ("full", 10.5)], False,
     ["chars", "messages", "interval"]),
    ("more messages than the limit: due",
     [("sent", 10.0)] + [("add", 1)] * 4 + [("full", 10.5)], True, ["chars", "messages"]),
    ("the interval passed since the last send: due",
     [("sent", 10.0), ("add", 1), ("full", 11.5)], True, ["chars", "messages", "interval"]),
    ("a send empties the batch and restarts its age",
     [("add", 200), ("sent", 20.0), ("full", 20.5)], False, ["chars", "messages", "interval"]),
    ("a drop empties it but keeps its age",
     [("sent", 10.0), ("add", 200), ("drop",), ("full", 10.5)], False,
     ["chars", "messages", "interval"]),
    ("a new cycle's first message goes at once",
     [("sent", 10.0), ("add", 1), ("restart",), ("full", 10.5)], True,
     ["chars", "messages", "interval"]),
]


@pytest.mark.parametrize("name, steps, full, asked", BATCHES, ids=[b[0] for b in BATCHES])
def test_batch(name, steps, full, asked):
    assert feedstate.batch(steps, LIMITS)[-1][:2] == (full, asked)


def test_a_batch_holds_what_was_added_until_sent_or_dropped():
    sizes = [held for _, _, held in feedstate.batch(
        [("add", 1), ("add", 1), ("sent", 1.0), ("add", 1), ("drop",)], LIMITS)]
    assert sizes == [1, 2, 0, 1, 0]


# (failures in the order they came, the code last on stderr, the exit status)
EXITS = [
    ([], None, 0),
    (["in_error"], None, 1),
    (["send_failed"], "MS115", 1),
    (["database", "other"], "MS125", 1),          # the last failure wins
    (["other", "database"], "MS120", 1),
    (["refused", "in_error"], "MS130", 1),        # an end in error keeps the failure's code
    (["in_error", "layout"], "MS145", 1),
    (["bad_record"], "MS107", 1),
    (["position_refused"], "MS150", 1),
]


@pytest.mark.parametrize("failures, code, status", EXITS, ids=[",".join(e[0]) or "none" for e in EXITS])
def test_exit_reason(failures, code, status):
    assert feedstate.exit_reason(failures) == (code, status)
