"""How the command builds the configuration mapping, without a server."""

from __future__ import annotations

import argparse
import logging

import pytest

from zarnel.cli import UsageError, load_config

SECRET = "s3cr3t-never-shown"


def args(**given) -> argparse.Namespace:
    return argparse.Namespace(**{"config": None, "profile": None, "host": None, "port": None,
                                 "user": None, **given})  # fmt: skip


@pytest.fixture
def config_file(tmp_path):
    path = tmp_path / "config.toml"
    path.write_text(f'[default]\nhost = "h"\nport = 9000\nuser = "u"\npassword = "{SECRET}"\n'
                    '[tunnel]\nhost = "h"\nport = "9000"\nuser = "u"\nssh = true\n')  # fmt: skip
    path.chmod(0o600)
    return path


def test_profile_then_environment_then_flags(config_file):
    env = {"ZARNEL_CONFIG": str(config_file), "ZARNEL_USER": "v", "ZARNEL_SSH": "off",
           "ZARNEL_SSH_TIMEOUT": "2.5", "ZARNEL_TEST_S3_ENDPOINT": "ignored"}  # fmt: skip
    assert load_config(args(host="flag"), env) == {
        "host": "flag", "port": 9000, "user": "v", "password": SECRET, "ssh": False,
        "ssh_timeout": 2.5}  # fmt: skip
    tunnel = load_config(args(profile="tunnel"), {"ZARNEL_PASSWORD": "p", **env})
    assert (tunnel["port"], tunnel["ssh"], tunnel["password"]) == ("9000", False, "p")


@pytest.mark.parametrize(
    ("text", "env", "message"),
    [
        ('[default]\nhost = "h"\nsecret = "x"\n', {}, "unknown keys ['secret']"),
        (f'[default]\npassword = ["{SECRET}"]\n', {}, "password must be str, not list"),
        (f'[default]\npassword = "{SECRET}\n', {}, "cannot read"),
        ("[default]\nport = true\n", {}, "port must be int, not bool"),
        ("[default]\n", {"ZARNEL_SSH": "maybe"}, "ZARNEL_SSH must be one of"),
        ("[default]\n", {"ZARNEL_PROFILE": "other"}, "no profile [other]"),
        ('[default]\nhost = "h"\n', {}, "missing port, user, password"),
    ],
)
def test_configuration_errors_name_the_problem_not_the_value(tmp_path, text, env, message):
    path = tmp_path / "config.toml"
    path.write_text(text)
    with pytest.raises(UsageError) as raised:
        load_config(args(config=str(path)), env)
    assert message in str(raised.value)
    assert SECRET not in str(raised.value)


def test_a_secret_readable_by_others_is_warned_of(config_file, caplog):
    config_file.chmod(0o644)
    with caplog.at_level(logging.WARNING, logger="zarnel.cli"):
        load_config(args(config=str(config_file)), {})
    assert "other users may read it" in caplog.text
    assert SECRET not in caplog.text
