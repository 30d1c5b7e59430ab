"""Self-signed certificates for the tests, made with the openssl command."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest


def make_certificate(directory: Path, names: "list[str]", addresses: "list[str]") -> tuple[Path, Path]:
    """A self-signed certificate (and its key) valid for ``names`` and IP ``addresses``."""
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed (apt-get install openssl)")
    cert, key = directory / "cert.pem", directory / "key.pem"
    alt = ",".join([f"DNS:{n}" for n in names] + [f"IP:{a}" for a in addresses])
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", f"/CN={(names or addresses)[0]}", "-addext", f"subjectAltName={alt}",
         "-keyout", str(key), "-out", str(cert)],
        check=True, capture_output=True,
    )
    return cert, key
