"""python3 -m firebase_standins: serve the stand-ins until interrupted."""

import argparse
import signal
import sys
import threading

from .config import StandinConfig
from .server import ServicesThread, _Server


def main(argv=None) -> int:
    defaults = StandinConfig()
    parser = argparse.ArgumentParser(prog="python3 -m firebase_standins",
                                     description="Serve the Firebase stand-ins on loopback.",
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--api-key", default=defaults.api_key,
                        help="the Web API key accepted (FIREBASE_API_KEY)")
    parser.add_argument("--project", default=defaults.project_id,
                        help="the project served (FIREBASE_PROJECT_ID)")
    parser.add_argument("--region", default=defaults.region,
                        help="the functions' region (FIREBASE_REGION)")
    parser.add_argument("--auth-header", default=defaults.auth_header_name,
                        help="name of the functions' fixed authentication header")
    parser.add_argument("--auth-key", default=defaults.auth_key,
                        help="its value (the application's ENCRYPTED_AUTH_KEY as text)")
    parser.add_argument("--api-version", default=defaults.api_version,
                        help="version prefix of the function names (VERSION_NAME)")
    parser.add_argument("--encryption-header", default=defaults.encryption_header_name,
                        help="the header that marks a sealed body (ENCRYPTION_HEADER_NAME)")
    parser.add_argument("--private-key", default=defaults.server_private_key_b64,
                        help="base64 of the private key whose public half the application "
                             "seals to (the published development key)")
    parser.add_argument("--backlog", type=int, default=_Server.request_queue_size,
                        help="connections that may wait to be accepted (raise it for "
                             "thousands of operations at once)")
    parser.add_argument("-q", "--quiet", action="store_true", help="do not log requests")
    args = parser.parse_args(argv)
    config = StandinConfig(api_key=args.api_key, project_id=args.project, region=args.region,
                           auth_header_name=args.auth_header, auth_key=args.auth_key,
                           api_version=args.api_version,
                           encryption_header_name=args.encryption_header,
                           server_private_key_b64=args.private_key)
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
