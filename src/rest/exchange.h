// The REST exchange: one request through a fresh httpx.AsyncClient, entered
// as an async context manager; status test; JSON decoding; the client closed
// before the operation returns. Every network operation runs it, described
// by one static Request row.
#pragma once
#include "runtime/task.h"

namespace fb {

// Source lines reported for each statement of the exchange.
struct ExchangeLines {
    int context;   // the `async with` statement
    int status;    // raise_for_status()
    int decode;    // json()
};

// Keyword-argument shapes of the requests; each names its tuple of keywords.
enum class Keywords { json, data, headers, headers_json, headers_json_timeout, headers_content_timeout, count };

// The request call: keywords, the record slots of their values, its line.
struct RequestCall {
    Keywords keywords;
    int values[3];
    int line;
};

struct Request {
    PyObject* const* method;     // points at the constant naming the client method
    int url;                     // record slot of the address
    RequestCall call;
    ExchangeLines lines;
    int client, response;        // record slots of the named locals
    // Statements before the client is made: the body and the address.
    void (*build)(Ctx&) = nullptr;
    // Statements inside the client context before the request; they may
    // choose another keyword shape, values and line.
    void (*prepare)(Ctx&, RequestCall&) = nullptr;
    // Result treatment, run on the decoded reply while the client is open.
    Ref (*treat)(Ctx&, PyObject* reply) = nullptr;
};

// Runs build, then the exchange; gives the decoded (treated) reply, or None
// when the client's exit suppressed an exception. Uses the record's
// temporaries. `rq` is a static row.
BodyTask exchange(Ctx& cx, const Request& rq);

// Makes the keyword tuples once, at load time; throws PyError.
void make_request_keywords();

// "https://<host>/<path>?key=" + the text of FIREBASE_API_KEY.
Ref api_key_url(PyObject* prefix);

}  // namespace fb
