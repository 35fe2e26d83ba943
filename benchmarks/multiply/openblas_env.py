"""The OpenBLAS tuning variables that the benchmark scripts run numpy without."""
import os

OPENBLAS_TUNING = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def env_without_tuning():
    """A copy of this process's environment without the OpenBLAS tuning variables."""
    return {k: v for k, v in os.environ.items() if k not in OPENBLAS_TUNING}
