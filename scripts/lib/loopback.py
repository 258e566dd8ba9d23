"""Shared by the crash loop and the metrics test: the gateway in a program
folder of its own, between simulators on loopback."""
import os
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        return s.bind(("127.0.0.1", 0)) or s.getsockname()[1]


def program_folder(name, settings):
    """A new program folder whose Kelvarix.ini has the gateway take the alarm
    server on one free port of loopback and log in to a PBX on another, with
    the given {section: {key: value}} on top. Returns it and the two ports."""
    home = tempfile.mkdtemp(prefix=f"kelvarix-{name}-")
    gateway_port, pbx_port = free_port(), free_port()
    sections = {"Orvane": {"ServerPort": gateway_port, "ListenAddress": "127.0.0.1"},
                "ATAS": {"IPAddress": "127.0.0.1", "PortNumber": pbx_port,
                         "Username": "kelvarix", "Password": "kelvarix"}}
    for section, values in settings.items():
        sections.setdefault(section, {}).update(values)
    with open(f"{home}/Kelvarix.ini", "w") as ini:
        for section, values in sections.items():
            ini.write(f"[{section}]\n" + "".join(f"{key}={value}\n" for key, value in values.items()))
    return home, gateway_port, pbx_port


def gateway(build, home):
    """Starts the gateway of the build in the program folder; a gateway
    started again there adds to the same gateway.out."""
    return subprocess.Popen([f"{build}/kelvarix"], env=dict(os.environ, KELVARIX_HOME=home),
                            stdout=open(f"{home}/gateway.out", "ab"), stderr=subprocess.STDOUT)


def wait_until(condition, seconds):
    """Polls the condition until it holds, for at most the seconds; whether it held."""
    deadline = time.monotonic() + seconds
    while not (held := condition()) and time.monotonic() < deadline:
        time.sleep(0.01)
    return held
