import os

from hypothesis import HealthCheck, settings

# Bounded example counts everywhere; CI (CI=true) is derandomised so that a
# run is repeatable. HYPOTHESIS_PROFILE picks another profile by hand.
settings.register_profile("default", max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("ci", parent=settings.get_profile("default"), derandomize=True,
                          database=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci" if os.environ.get("CI") else "default"))


def pytest_sessionstart(session):
    # A wheel's test run (make other-pythons) must import the installed module.
    module_dir = os.environ.get("TAVIK_MODULE_DIR")
    if module_dir:
        import _tavik

        assert os.path.dirname(os.path.realpath(_tavik.__file__)) == os.path.realpath(module_dir), (
            f"{_tavik.__file__} is not the module installed in {module_dir}")
    # Under `make asan` the instrumented build must be the module under test.
    expected_dir = os.environ.get("TAVIK_SANITIZED")
    if expected_dir:
        import _tavik

        with open("/proc/self/maps") as maps:
            mapped = maps.read()
        assert "libasan" in mapped, "the sanitizer runtime is not loaded"
        assert os.path.dirname(os.path.realpath(_tavik.__file__)) == os.path.realpath(expected_dir), (
            f"{_tavik.__file__} is not the instrumented build in {expected_dir}")
