"""An SMTP server that takes every mail and keeps nothing but a count, so that
long runs measure the worker and not the storage of the mails. The count is
written to the file named by argv[2] every 100 mails; argv[1] is the port.
With argv[3], each mail's subject is appended there too, a line a mail
(written out with the count), so that a run can tell each mail apart. With
argv[4], while a file of that name exists the server is in maintenance: it
answers each new mail "421" and closes the connection, as a relay that is
going down does; a mail under way is taken as usual."""
import asyncore
import os
import smtpd
import sys

port, count_path = int(sys.argv[1]), sys.argv[2]
subjects = open(sys.argv[3], "a") if len(sys.argv) > 3 else None
maintenance = sys.argv[4] if len(sys.argv) > 4 else None


def subject_of(data):
    for line in data.split("\n"):
        if not line.strip():
            break
        if line.lower().startswith("subject:"):
            return line[len("subject:"):].strip()
    return ""


class Channel(smtpd.SMTPChannel):
    def smtp_MAIL(self, arg):
        if maintenance is not None and os.path.exists(maintenance):
            self.push("421 4.3.2 service not available, closing the connection")
            self.close_when_done()
            return
        smtpd.SMTPChannel.smtp_MAIL(self, arg)


class Discard(smtpd.SMTPServer):
    count = 0

    def handle_accept(self):
        pair = self.accept()
        if pair is not None:
            Channel(self, *pair)

    def process_message(self, peer, mailfrom, rcpttos, data):
        Discard.count += 1
        if subjects is not None:
            subjects.write(subject_of(data) + "\n")
        if Discard.count % 100 == 0:
            if subjects is not None:
                subjects.flush()
            with open(count_path, "w") as f:
                f.write(str(Discard.count))


Discard(("127.0.0.1", port), None)
print "serving"
sys.stdout.flush()
try:
    asyncore.loop(timeout=0.5)
finally:
    if subjects is not None:
        subjects.flush()
