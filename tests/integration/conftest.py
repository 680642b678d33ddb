"""Real servers for the integration tests.

Every test that takes ``s3_server`` runs once against each local kind
(SeaweedFS and moto's server), or only against the external server when
ZARNEL_TEST_S3_ENDPOINT, ZARNEL_TEST_S3_ACCESS_KEY and
ZARNEL_TEST_S3_SECRET_KEY name one (a MinIO server, say). The fixture knows
the JuiceFS gateway too; a module whose tests must also run there (it lists
objects without ETags) parametrizes the fixture with ENGINE_KINDS:

    pytestmark = pytest.mark.parametrize("s3_server", ENGINE_KINDS, indirect=True)
"""

from __future__ import annotations

import uuid

import minio
import pytest

from tests.faultproxy import FaultProxy
from tools.s3servers import JuiceFS, MotoServer, SeaweedFS, external_from_env

_EXTERNAL = external_from_env()
SERVERS = {"seaweedfs": SeaweedFS, "moto": MotoServer, "juicefs": JuiceFS}
KINDS = ["external"] if _EXTERNAL else ["seaweedfs", "moto"]
ENGINE_KINDS = ["external"] if _EXTERNAL else [*KINDS, "juicefs"]


def pytest_collection_modifyitems(items):
    for item in items:
        if "integration" in item.path.parts:
            item.add_marker(pytest.mark.integration)


@pytest.fixture(scope="session", params=KINDS)
def s3_server(request):
    if request.param == "external":
        yield _EXTERNAL.start()
        return
    server = SERVERS[request.param]()
    server.start()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def s3_config(s3_server) -> dict:
    """A configuration mapping for ZarnelMinioMain that reaches the server."""
    host, _, port = s3_server.endpoint.rpartition(":")
    return {"host": host, "port": int(port), "user": s3_server.access_key,
            "password": s3_server.secret_key}  # fmt: skip


@pytest.fixture
def sdk(s3_server) -> minio.Minio:
    """The SDK client, for arranging and checking what the tests do."""
    return minio.Minio(s3_server.endpoint, access_key=s3_server.access_key,
                       secret_key=s3_server.secret_key, secure=False)  # fmt: skip


@pytest.fixture
def store(s3_config):
    """A connected ZarnelMinioMain."""
    from zarnel.minio_main import ZarnelMinioMain

    instance = ZarnelMinioMain(s3_config)
    instance._connect()
    return instance


def _empty_and_remove(sdk: minio.Minio, name: str) -> None:
    if not sdk.bucket_exists(name):
        return
    for item in sdk.list_objects(name, recursive=True):
        sdk.remove_object(name, item.object_name)
    sdk.remove_bucket(name)


@pytest.fixture
def bucket_name(sdk):
    """A fresh bucket name; whatever bucket the test makes with it is removed."""
    name = f"zt-{uuid.uuid4().hex[:20]}"
    yield name
    _empty_and_remove(sdk, name)


@pytest.fixture
def bucket(sdk, bucket_name):
    """An existing empty bucket, removed with its objects afterwards."""
    sdk.make_bucket(bucket_name)
    return bucket_name


@pytest.fixture(scope="session")
def sshd():
    """A throw-away sshd on loopback (tools/sshd.py) shared by the session."""
    from tools.sshd import SSHServer, skip_reason

    reason = skip_reason()
    if reason:
        pytest.skip(reason)
    with SSHServer() as server:
        yield server


@pytest.fixture
def tunnel_keys(sshd, tmp_path) -> dict:
    """The ssh_* entries that reach ``sshd`` with the plain key, and a
    known-hosts file of the test's own."""
    return {"ssh_host": "127.0.0.1", "ssh_port": sshd.port, "ssh_user": sshd.user,
            "ssh_rsa": str(sshd.key), "ssh_known_hosts": str(tmp_path / "known_hosts")}  # fmt: skip


@pytest.fixture
def proxy(s3_server):
    """A fault proxy in front of the store."""
    with FaultProxy(s3_server.endpoint) as running:
        yield running


@pytest.fixture
def via(s3_server, proxy):
    """A client of the store through the proxy, made as a user makes one."""
    from zarnel.minio_main import ZarnelMinioMain

    host, _, port = proxy.endpoint.rpartition(":")
    store = ZarnelMinioMain({"host": host, "port": int(port), "user": s3_server.access_key,
                             "password": s3_server.secret_key})  # fmt: skip
    store._connect()
    return store
