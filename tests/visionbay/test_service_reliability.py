"""10,000 requests of every kind through the real program, good ones mixed
with requests made to hurt it: every one is answered or dropped as it should
be, the service never stops, its memory stays flat and its peak stays under
PEAK_RSS_MB."""
import json
import os
import random
import subprocess
import time

import pika
import pytest
from PIL import Image

import hostile_images
import rpclab
from harness import TREE
from hostile import gzip_stream
from qz import qztool
from rpclab import Replies, classify_request, envelope

KEY = {"response_key": "test-response-key"}

# The budget allows 1 MB of text per request and the service holds one request
# at a time; with numpy, Pillow and the model loaded it idles near 60 MB.
PEAK_RSS_MB = 200


def rss_kb(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        return int([l for l in f if l.startswith(field + ":")][0].split()[1])


@pytest.fixture
def images(tmp_path, sample_image):
    corrupt = tmp_path / "corrupt.png"
    with open(sample_image[0], "rb") as f:
        corrupt.write_bytes(f.read()[:60])
    large = str(tmp_path / "large.png")
    Image.new("L", (8000, 8000)).save(large)  # 64 megapixels: refused before decoding
    made = {"good": sample_image[0], "missing": str(tmp_path / "missing.png"),
            "corrupt": str(corrupt), "large": large}
    # Over the decoding budget, small enough to be read thousands of times:
    # past the chunk limit by half, not by a hundred times.
    for name, data in [("chunks.png", hostile_images.png_chunk_bomb(15000)),
                       ("text.png", hostile_images.png_text_bomb(total=15000 * 32)),
                       ("frames.gif", hostile_images.gif_frame_bomb(15000))]:
        (tmp_path / name).write_bytes(data)
        made[name] = str(tmp_path / name)
    # Formats whose decoders the service never registers.
    for name in ("refused.tif", "refused.ico"):
        Image.new("RGB", (16, 16)).save(str(tmp_path / name))
        made[name] = str(tmp_path / name)
    return made


def kinds(images):
    """(message, expected reply: None for no reply, a text, or a check)."""
    answered = lambda text: text.startswith("[[")
    now = lambda t: float(t) > 0
    bomb = gzip_stream("\0" * (1 << 20) for _ in range(16))
    return [
        ((classify_request("digits-sample", images["good"]), KEY), answered),
        ((envelope("qz_time"), KEY), lambda t: float(t) > 0),
        ((classify_request("no such job", images["good"]), KEY), "no such job"),
        ((classify_request("digits-sample", images["missing"]), KEY), ""),
        ((classify_request("digits-sample", images["corrupt"]), KEY), ""),
        ((classify_request("digits-sample", images["large"]), KEY), ""),
        ((envelope("qz_dnn_classify"), KEY), ""),
        (("garbage", KEY, True), lambda t: float(t) > 0),
        ((envelope("qz_time"), None), None),
        ((envelope("qz_time"), {"response_key": ""}), None),
        # made to hurt: over budget, bad keys, locations that lead nowhere good
        ((bomb, KEY, True), now),
        (('{"qz_service_name": %s}' % ("9" * 500000), KEY), now),
        (("[" * 50000, KEY), now),
        ((envelope("qz_dnn_classify", '{"job_id": %s}' % ("1" * 50000)), KEY), ""),
        ((envelope("qz_time"), {"response_key": 7}), None),
        ((envelope("qz_time"), {"response_key": "k" * 300}), None),
        ((classify_request("digits-sample", "http://169.254.169.254/x.png"), KEY), ""),
        ((classify_request("digits-sample", images["chunks.png"]), KEY), ""),
        ((classify_request("digits-sample", images["text.png"]), KEY), ""),
        # a GIF is read to its first frame, however many follow
        ((classify_request("digits-sample", images["frames.gif"]), KEY), answered),
        ((classify_request("digits-sample", images["refused.tif"]), KEY), ""),
        ((classify_request("digits-sample", images["refused.ico"]), KEY), ""),
    ]


def test_ten_thousand_requests(jobs_dir, images):
    rpclab.reset_queue()
    replies = Replies()
    table = kinds(images)
    rng = random.Random(7)
    plan = [rng.randrange(len(table)) for _ in range(10000)]
    env = dict(os.environ, DIGITS_JOBS_DIR=jobs_dir)
    proc = subprocess.Popen([os.path.join(TREE, "visionbay"), "--host", "127.0.0.1"],
                            stdout=open(os.devnull, "w"), env=env)
    got = []

    def send_and_collect(chunk):
        rpclab.publish([table[i][0] for i in chunk])
        expected = sum(1 for i in chunk if table[i][1] is not None)
        deadline = time.time() + 120
        start = len(got)
        while len(got) - start < expected:
            assert time.time() < deadline, "the service stopped answering"
            assert proc.poll() is None, "the service stopped"
            got.extend(replies.take())
            time.sleep(0.05)
    try:
        send_and_collect(plan[:1000])
        after_first = rss_kb(proc.pid)
        for start in range(1000, 10000, 1000):
            send_and_collect(plan[start:start + 1000])
        after_all = rss_kb(proc.pid)
        peak = rss_kb(proc.pid, "VmHWM")
        rpclab.publish([("cancel_dnn_arpc", None, True)])
        assert proc.wait() == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        replies.close()
    expected = [table[i][1] for i in plan if table[i][1] is not None]
    assert len(got) == len(expected)
    for (text, headers), check in zip(got, expected):
        assert check(text) if callable(check) else text == check, (text, check)
    assert rpclab.waiting() == 0
    print "service RSS after 1,000: %d KB, after 10,000: %d KB, peak %d KB" % (
        after_first, after_all, peak)
    assert after_all - after_first < 10 * 1024
    assert peak < PEAK_RSS_MB * 1024


# A flood queued before the start: the service holds at most its window of
# deliveries (QZ_MQ_PREFETCH, 50), not the queue. 300 bodies of 1 MB took
# it past 200 MB without the window.
FLOOD_PEAK_RSS_MB = 150


def test_a_flood_queued_before_the_start_is_held_a_window_at_a_time():
    rpclab.reset_queue()
    body = os.urandom(1 << 20)  # incompressible, and not gzip: answered with the time
    for _ in range(6):
        rpclab.publish([(body, KEY, True)] * 50)
    replies = Replies()
    proc = subprocess.Popen([os.path.join(TREE, "visionbay"), "--host", "127.0.0.1"],
                            stdout=open(os.devnull, "w"))
    got = []
    try:
        deadline = time.time() + 120
        while len(got) < 300:
            assert time.time() < deadline and proc.poll() is None, (len(got), proc.poll())
            got.extend(replies.take())
            time.sleep(0.05)
        peak = rss_kb(proc.pid, "VmHWM")
        rpclab.publish([("cancel_dnn_arpc", None, True)])
        assert proc.wait() == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        replies.close()
    print "service peak after a flood of 300 MB: %d KB" % peak
    assert all(float(text) > 0 for text, _ in got)
    assert peak < FLOOD_PEAK_RSS_MB * 1024
