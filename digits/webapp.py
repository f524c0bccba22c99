"""Stand-ins for DIGITS' web application module: the app object and the scheduler.

Callers only import `app` and use `scheduler`; there is no web server here.
"""
from digits import config
from digits.scheduler import Scheduler


class App(object):
    """What the callers import as `app`: a name and a view of the settings, nothing served."""

    name = "digits"

    @property
    def config(self):
        return {"jobs_dir": config.config_value("jobs_dir")}


app = App()
scheduler = Scheduler()
