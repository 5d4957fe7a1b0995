#!/usr/bin/env python3
"""A page that a running browser keeps open: every 250 ms it fetches URL and
reports whether the fetch got through (ok) or failed (fail, as a certificate
error fails it). Usage: poll_server.py PORT URL LOG; each report is appended
to LOG as "<monotonic seconds> ok|fail"."""
import http.server
import sys
import time

port, url, log = int(sys.argv[1]), sys.argv[2], sys.argv[3]
PAGE = """<!doctype html><title>poll</title><script>
async function tick() {
  let result = 'fail';
  try { await fetch('%s?' + Date.now(), {mode: 'no-cors', cache: 'no-store'}); result = 'ok'; }
  catch (e) {}
  try { await fetch('/report?' + result, {cache: 'no-store'}); } catch (e) {}
  setTimeout(tick, 250);
}
tick();
</script>""" % url


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/report?"):
            with open(log, "a") as out:
                out.write("%.3f %s\n" % (time.monotonic(), self.path.split("?", 1)[1]))
            body = b"noted"
        else:
            body = PAGE.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
