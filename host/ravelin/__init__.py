"""A small stand-in for the ravelin op host: registers native ops and runs them.

Op modules (``_mirlow``, ``_tarrowby``, ``_gantree``) register their ops on
import through the capsule ``_register_op_capsule``.
"""

from ._host import _register_op_capsule, registered_ops, run_op

__all__ = ["Pipeline", "registered_ops", "run_op"]


class Pipeline:
    """Runs named ops in order on one payload dict."""

    def __init__(self, steps):
        steps = list(steps)
        for step in steps:
            if not isinstance(step, str):
                raise TypeError(f"pipeline steps are op names (str), got {type(step).__name__}")
        self.steps = steps

    def run(self, payload):
        """Run every step on ``payload`` in place and return it.

        A failing step's exception propagates with a note naming the step.
        """
        for position, name in enumerate(self.steps):
            try:
                run_op(name, payload)
            except Exception as exc:
                exc.add_note(f"in pipeline step {position} ({name!r})")
                raise
        return payload

    def __repr__(self):
        return f"Pipeline({self.steps!r})"
