"""python3 -m firebase_standins: serve the stand-ins until interrupted."""

import argparse
import signal
import sys
import threading

from .config import StandinConfig
from .server import ServicesThread, _Server


# Option, the StandinConfig field it sets, and what it is.
CONFIG_OPTIONS = [
    ("--api-key", "api_key", "the Web API key accepted (FIREBASE_API_KEY)"),
    ("--project", "project_id", "the project served (FIREBASE_PROJECT_ID)"),
    ("--region", "region", "the functions' region (FIREBASE_REGION)"),
    ("--auth-header", "auth_header_name", "name of the functions' fixed authentication header"),
    ("--auth-key", "auth_key", "its value (the application's ENCRYPTED_AUTH_KEY as text)"),
    ("--api-version", "api_version", "version prefix of the function names (VERSION_NAME)"),
    ("--encryption-header", "encryption_header_name",
     "the header that marks a sealed body (ENCRYPTION_HEADER_NAME)"),
    ("--private-key", "server_private_key_b64", "base64 of the private key whose public half "
     "the application seals to (the published development key)"),
]


def main(argv=None) -> int:
    defaults = StandinConfig()
    parser = argparse.ArgumentParser(prog="python3 -m firebase_standins",
                                     description="Serve the Firebase stand-ins on loopback.",
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    for option, field, help_text in CONFIG_OPTIONS:
        parser.add_argument(option, dest=field, default=getattr(defaults, field), help=help_text,
                            metavar=option[2:].upper().replace("-", "_"))
    parser.add_argument("--backlog", type=int, default=_Server.request_queue_size,
                        help="connections that may wait to be accepted (raise it for "
                             "thousands of operations at once)")
    parser.add_argument("-q", "--quiet", action="store_true", help="do not log requests")
    args = parser.parse_args(argv)
    config = StandinConfig(**{field: getattr(args, field) for _, field, _ in CONFIG_OPTIONS})
    _Server.request_queue_size = args.backlog
    # Stopped by SIGINT or SIGTERM, also when started as a background job of
    # a shell, which starts it with SIGINT ignored.
    for stop in (signal.SIGINT, signal.SIGTERM):
        signal.signal(stop, signal.default_int_handler)
    with ServicesThread(config, host=args.host, port=args.port, verbose=not args.quiet) as svc:
        print(f"firebase stand-ins listening on {svc.base_url} "
              f"(project {config.project_id}, API key {config.api_key})", flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            print("firebase stand-ins stopped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
