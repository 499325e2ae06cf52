"""The sealed-box key pair of the functions stand-in.

DEVELOPMENT ONLY. This key pair was generated once for the local stand-ins
and is published in this repository: anyone can open what is sealed to its
public half. It must never be given to a deployed function or used as a real
application's SEALED_BOX_SERVER_PUBLIC_KEY_B64. The demo application
(demo/tavrin/env.py) carries the public half so that its encrypted function
calls can be opened by the stand-in.
"""

# Curve25519 private key (32 bytes, standard base64), for nacl.public.PrivateKey.
DEV_SERVER_PRIVATE_KEY_B64 = "3Jb6stfKvPpLGLIuBRLbKbezy/TUKAQSucZQjPHk/pQ="
# Its public half, as an application's SEALED_BOX_SERVER_PUBLIC_KEY_B64.
DEV_SERVER_PUBLIC_KEY_B64 = "E6wVJN7jx4iX8Fa61MqyUX/q4lfYWH+aaPJq0kZXewU="
