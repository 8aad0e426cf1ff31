import pytest
import xgboost


@pytest.fixture(autouse=True, scope="session")
def single_threaded_boosting():
    """The test fits are tiny: one thread is fastest, and on a busy machine many threads stall."""
    if "nthread" in xgboost.get_config():
        with xgboost.config_context(nthread=1):
            yield
    else:
        yield
