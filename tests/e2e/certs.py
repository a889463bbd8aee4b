"""Certificate authorities and server certificates for the HTTPS runs, made with the
openssl command in a scratch folder. Nothing here touches the machine's own trust store:
the runs trust an authority inside their Wine prefix only.

  certs.py DIR   an authority and a certificate for `localhost` in DIR (kept when there)
"""
import os
import subprocess
import sys


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def authority(folder, name):
    """`name`.pem and `name`.key: a self-signed authority. Returns the certificate's path."""
    os.makedirs(folder, exist_ok=True)
    pem = os.path.join(folder, name + ".pem")
    if not os.path.exists(pem):
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                 "-out", name + ".pem.tmp", "-days", "3650", "-subj", f"/CN=Tallyx test {name}",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
        os.replace(pem + ".tmp", pem)
    return pem


def server(folder, name, ca, dns="localhost"):
    """`name`.pem and `name`.key: a server certificate for host `dns` signed by authority
    `ca`. The host is named in the subject alternative name, the only place clients look.
    Returns (certificate, key)."""
    pem, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
    if not os.path.exists(pem):
        with open(os.path.join(folder, name + ".ext"), "w") as f:
            f.write(f"subjectAltName=DNS:{dns}\nbasicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key",
                 "-out", name + ".csr", "-subj", f"/CN={dns}", cwd=folder)
        _openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                 "-CAcreateserial", "-days", "825", "-sha256", "-extfile", name + ".ext",
                 "-out", name + ".pem.tmp", cwd=folder)
        os.replace(pem + ".tmp", pem)
    return pem, key


def localhost_set(folder):
    """The trusted authority, the certificate it gave `localhost`: (ca, cert, key)."""
    ca = authority(folder, "authority")
    cert, key = server(folder, "localhost", "authority")
    return ca, cert, key


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print("\n".join(localhost_set(sys.argv[1])))
