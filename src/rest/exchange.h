// The REST exchange: one request through a fresh httpx.AsyncClient, entered
// as an async context manager; status test; JSON decoding; the client closed
// before the operation returns. Every network operation runs it.
#pragma once
#include "runtime/task.h"

namespace fb {

// Source lines reported for each statement of the exchange.
struct ExchangeLines {
    int context;   // the `async with` statement
    int request;
    int status;    // raise_for_status()
    int decode;    // json()
};

// Keyword-argument shapes of the requests; each names its tuple of keywords.
enum class Keywords { json, data, headers, headers_json, headers_json_timeout, headers_content_timeout, count };

struct Request {
    PyObject* const* method;     // points at the constant naming the client method
    int url;                     // record slot of the address
    Keywords keywords;
    int values[3];               // record slots of the keyword values, in order
    ExchangeLines lines;
    int client, response;        // record slots of the named locals
    // Result treatment, run on the decoded reply while the client is open.
    Ref (*treat)(Ctx&, PyObject* reply) = nullptr;
    // Statements inside the client context before the request; they may
    // choose the keywords, their values and the request's line.
    void (*prepare)(Ctx&, Request&) = nullptr;
};

// Runs the exchange; gives the decoded (treated) reply, or None when the
// client's exit suppressed an exception. Uses the record's four temporaries.
BodyTask exchange(Ctx& cx, Request rq);

// Makes the keyword tuples once, at load time; throws PyError.
void make_request_keywords();

// "https://<host>/<path>?key=" + the text of FIREBASE_API_KEY.
Ref api_key_url(PyObject* prefix);

}  // namespace fb
