// HTTPS functions for the official Firebase Functions emulator: the peer of
// trigger_function in this repository's tests, written as an application's
// backend would write them. Their settings come from the environment (the
// emulator loads .env beside this file; tools/emulator writes it from the
// test application's configuration):
//
//   API_VERSION, REGION               the functions are served as
//                                     /PROJECT/REGION/API_VERSION_NAME
//   AUTH_HEADER_NAME, AUTH_KEY        the fixed header every call must carry
//   ENCRYPTION_HEADER_NAME            "true" there: the body is a sealed box
//   SEALED_BOX_SERVER_PRIVATE_KEY_B64 the private half of the key that the
//                                     application seals to
//
//   API_VERSION_echo  200 {"echo": payload, "encrypted": bool, "uid": uid or null}
//   API_VERSION_fail  the status the payload names ({"status": 503}), else 500
//
// Refusals and failures answer {"error": {"code", "message", "status"}}.

const { setGlobalOptions } = require("firebase-functions");
const { onRequest } = require("firebase-functions/https");
const admin = require("firebase-admin");
const nacl = require("tweetnacl");
const sealedBox = require("tweetnacl-sealedbox-js");

const env = process.env;
setGlobalOptions({ region: env.REGION });
admin.initializeApp();

const STATUS = { 400: "INVALID_ARGUMENT", 401: "UNAUTHENTICATED", 403: "PERMISSION_DENIED",
                 404: "NOT_FOUND", 405: "METHOD_NOT_ALLOWED", 500: "INTERNAL" };

class Refusal extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

function keyPair() {
  const secret = Buffer.from(env.SEALED_BOX_SERVER_PRIVATE_KEY_B64 || "", "base64");
  if (secret.length !== nacl.box.secretKeyLength) {
    throw new Refusal(500, "SEALED_BOX_SERVER_PRIVATE_KEY_B64 is not a 32-byte key");
  }
  return nacl.box.keyPair.fromSecretKey(new Uint8Array(secret));
}

// The emulator's body parsers keep req.rawBody only for a body with a
// content type; a sealed body comes without one, so its stream is still
// unread.
async function rawBody(req) {
  if (req.rawBody !== undefined) return req.rawBody;
  const chunks = [];
  for await (const chunk of req) chunks.push(chunk);
  return Buffer.concat(chunks);
}

function open(body) {
  const text = body.toString("latin1");
  if (!/^[A-Za-z0-9+/]*={0,2}$/.test(text) || text.length % 4 !== 0) {
    throw new Refusal(400, "The encrypted body is not base64.");
  }
  const keys = keyPair();
  const opened = sealedBox.open(new Uint8Array(Buffer.from(text, "base64")),
                                keys.publicKey, keys.secretKey);
  if (opened === null || opened === undefined) {
    throw new Refusal(400, "The sealed body cannot be opened with the server's key.");
  }
  return Buffer.from(opened);
}

// The account of a bearer ID token that firebase-admin accepts (the
// emulator points it at the Auth emulator), else null.
async function bearerUid(req) {
  const [scheme, token] = (req.get("authorization") || "").trim().split(/\s+/, 2);
  if (!scheme || scheme.toLowerCase() !== "bearer" || !token) return null;
  try {
    return (await admin.auth().verifyIdToken(token)).uid;
  } catch {
    return null;
  }
}

async function receive(req) {
  if (req.method !== "POST") {
    throw new Refusal(405, `Function takes POST, not ${req.method}.`);
  }
  const auth = req.get(env.AUTH_HEADER_NAME);
  if (auth === undefined) {
    throw new Refusal(401, `Missing authentication header ${env.AUTH_HEADER_NAME}.`);
  }
  if (auth !== env.AUTH_KEY) {
    throw new Refusal(403, `Wrong value of the authentication header ${env.AUTH_HEADER_NAME}.`);
  }
  const encrypted = req.get(env.ENCRYPTION_HEADER_NAME) === "true";
  let body = await rawBody(req);
  if (encrypted) body = open(body);
  let payload;
  try {
    payload = JSON.parse(body.toString("utf8"));
  } catch (error) {
    throw new Refusal(400, `The ${encrypted ? "opened sealed body" : "request body"} is not JSON: ${error.message}`);
  }
  return { payload, encrypted, uid: await bearerUid(req) };
}

function serve(handler) {
  return onRequest(async (req, res) => {
    try {
      res.status(200).json(await handler(await receive(req)));
    } catch (error) {
      const code = error instanceof Refusal ? error.code : 500;
      res.status(code).json({ error: { code, message: error.message,
                                        status: STATUS[code] || (code >= 500 ? "INTERNAL" : "UNKNOWN") } });
    }
  });
}

exports[`${env.API_VERSION}_echo`] = serve(async (call) => ({
  echo: call.payload, encrypted: call.encrypted, uid: call.uid }));

exports[`${env.API_VERSION}_fail`] = serve(async ({ payload }) => {
  const code = payload && payload.status != null ? payload.status : 500;
  if (!Number.isInteger(code) || code < 400 || code > 599) {
    throw new Refusal(400, `status must be an int from 400 to 599, not ${JSON.stringify(code)}`);
  }
  throw new Refusal(code, `The function failed as asked (status ${code}).`);
});
