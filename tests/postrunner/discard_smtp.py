"""An SMTP server that takes every mail and keeps nothing but a count, so that
long runs measure the worker and not the storage of the mails. The count is
written to the file named by argv[2] every 100 mails; argv[1] is the port."""
import asyncore
import smtpd
import sys

port, count_path = int(sys.argv[1]), sys.argv[2]


class Discard(smtpd.SMTPServer):
    count = 0

    def process_message(self, peer, mailfrom, rcpttos, data):
        Discard.count += 1
        if Discard.count % 100 == 0:
            with open(count_path, "w") as f:
                f.write(str(Discard.count))


Discard(("127.0.0.1", port), None)
print "serving"
sys.stdout.flush()
asyncore.loop(timeout=0.5)
