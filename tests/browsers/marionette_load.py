#!/usr/bin/env python3
"""Loads one URL in a headless Firefox, driven over Marionette (its port
2828: run it where no other Firefox listens there, as in a private network
namespace), in a session that accepts no insecure certificate.
Usage: marionette_load.py FIREFOX PROFILE_DIR URL SECONDS
Prints "trusted" (the page loaded and shows the s_server's text),
"untrusted" (navigation failed with "insecure certificate") or "error: ...".
Firefox runs in a process group of its own, killed after SECONDS at most:
on an error page some of its modes hang."""
import json, os, signal, socket, subprocess, sys, time
ff, profile, url, timeout = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
proc = subprocess.Popen([ff, "--headless", "--marionette", "--no-remote", "--profile", profile],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        start_new_session=True)
deadline = time.monotonic() + timeout
def recv(s):
    buf = b""
    while b":" not in buf:
        c = s.recv(1)
        if not c: raise EOFError
        buf += c
    n = int(buf[:-1]); data = b""
    while len(data) < n:
        c = s.recv(n - len(data))
        if not c: raise EOFError
        data += c
    return json.loads(data)
msgid = 0
def cmd(s, name, params):
    global msgid
    msgid += 1
    body = json.dumps([0, msgid, name, params]).encode()
    s.sendall(str(len(body)).encode() + b":" + body)
    while True:
        r = recv(s)
        if r[0] == 1 and r[1] == msgid: return r[2], r[3]
result = "error"
try:
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", 2828), timeout=2); break
        except OSError:
            if time.monotonic() > deadline: raise
            time.sleep(0.2)
    s.settimeout(max(1.0, deadline - time.monotonic()))
    recv(s)
    err, _ = cmd(s, "WebDriver:NewSession", {"capabilities": {"alwaysMatch": {"acceptInsecureCerts": False}}})
    if err: raise RuntimeError(err)
    err, _ = cmd(s, "WebDriver:Navigate", {"url": url})
    if err and err.get("error") == "insecure certificate": result = "untrusted"
    elif err: result = "error: " + json.dumps(err)[:300]
    else:
        e2, src = cmd(s, "WebDriver:GetPageSource", {})
        result = "trusted" if not e2 and "Ciphers supported" in src.get("value", "") else "error: page " + str(src)[:200]
    try: cmd(s, "Marionette:Quit", {"flags": ["eForceQuit"]})
    except Exception: pass
except Exception as e:
    result = "error: %r" % (e,)
finally:
    try: proc.wait(5)
    except subprocess.TimeoutExpired: pass
    try: os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError: pass
    proc.wait()
print(result)
