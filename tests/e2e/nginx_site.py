"""The serving guide's nginx configuration (tools/publish/nginx-release.conf.in) filled in
for a site on loopback, with a certificate for `localhost` from a test authority: what the
demo serves with and what the serving test checks.

  nginx_site.py TEMPLATE FOLDER HTTPS_PORT ARCHIVE_RATE
writes FOLDER/nginx.conf (https on HTTPS_PORT, plain http on the port after it), makes
FOLDER/logs, FOLDER/tmp, FOLDER/www/dl and the certificates in FOLDER/tls (kept when
there), and prints the configuration's path and the authority's, one a line. Run nginx
with: nginx -c FOLDER/nginx.conf -p FOLDER -g 'daemon off;'
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import certs  # noqa: E402


def configure(template, folder, https_port, archive_rate):
    """Returns (configuration, authority) paths."""
    for sub in ("logs", "tmp", os.path.join("www", "dl")):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    ca, cert, key = certs.localhost_set(os.path.join(folder, "tls"))
    values = {"PREFIX": folder, "ROOT": os.path.join(folder, "www"), "LISTEN": "127.0.0.1",
              "SERVER_NAME": "localhost", "HTTPS_PORT": https_port,
              "HTTP_PORT": int(https_port) + 1, "CERTIFICATE": cert, "KEY": key,
              "ARCHIVE_RATE": archive_rate}
    with open(template) as f:
        text = f.read()
    for name, value in values.items():
        text = text.replace(f"@{name}@", str(value))
    left = re.findall(r"@[A-Z_]+@", text)
    if left:
        raise ValueError(f"placeholders of {template} left unfilled: {sorted(set(left))}")
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(text)
    return conf, ca


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    print("\n".join(configure(*sys.argv[1:])))
