"""Recording fakes of the storage client, the logger and the tunnel, and values
that fail on the way."""

from __future__ import annotations

from typing import Any, NamedTuple

from zarnel_var import ZarnelVar


class Call(NamedTuple):
    name: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


class FakeMinio:
    """Records every method call with its positional and keyword arguments.

    ``answers[name]`` is what a call returns (a callable is called with the
    call's arguments); ``errors[name]`` is raised instead. Constructing it
    records the keyword arguments of the construction in ``init_kwargs``.
    """

    instances: list[FakeMinio] = []

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.init_args = args
        self.init_kwargs = kwargs
        self.calls: list[Call] = []
        self.answers: dict[str, Any] = {}
        self.errors: dict[str, BaseException] = {}
        FakeMinio.instances.append(self)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args: Any, **kwargs: Any) -> Any:
            self.calls.append(Call(name, args, kwargs))
            if name in self.errors:
                raise self.errors[name]
            answer = self.answers.get(name)
            return answer(*args, **kwargs) if callable(answer) else answer

        return method

    def names(self) -> list[str]:
        return [call.name for call in self.calls]


class FakeMinioModule:
    """Stands in for the ``minio`` package: ``Minio`` is the recording fake."""

    Minio = FakeMinio


class RecordingLog:
    """A logger that keeps what it was given."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.init_args = args
        self.init_kwargs = kwargs
        self.warnings: list[Any] = []

    def warning(self, value: Any) -> None:
        self.warnings.append(value)


class FakeTunnel:
    """Stands in for ZarnelSSH: each one made is recorded; connect() answers a
    record of its own that leads to 127.0.0.1:1 and names the tunnel."""

    made: list[FakeTunnel] = []

    def __init__(self, mapping):
        self.mapping = mapping
        self.record = ZarnelVar(**{**mapping, "host": "127.0.0.1", "port": 1}, through=self)
        FakeTunnel.made.append(self)

    def connect(self):
        return self.record


class StoreError(Exception):
    """An error of the storage client."""


class NoText:
    """A value whose conversion to text fails with an ordinary error."""

    def __init__(self, error: Exception) -> None:
        self.error = error

    def __str__(self) -> str:
        raise self.error


class NoTextPath(NoText):
    """A path-like value for a missing file whose text form fails."""

    def __fspath__(self) -> str:
        return "/no/such/file"
