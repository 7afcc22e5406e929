import os

from hypothesis import HealthCheck, settings

# A quick default for local runs; CI (CI=true) runs the thorough profile.
settings.register_profile("default", max_examples=150, deadline=None)
settings.register_profile(
    "ci",
    max_examples=600,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("ci" if os.environ.get("CI") else "default")
