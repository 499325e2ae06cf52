// What the identity-service operations share: a JSON body posted to an
// API-key address. Their records start with the parameters, then `payload`,
// the endpoint, `client` and `response`.
#pragma once
#include <initializer_list>
#include "module/constants.h"
#include "rest/exchange.h"

namespace fb {

// One member of the request body: a record slot, or a constant when slot < 0.
struct Member {
    PyObject* key;
    int slot;
    PyObject* constant = nullptr;
};

// Builds the body (at body_line) and then the address (at url_line).
void identity_build(Ctx& cx, int body_line, std::initializer_list<Member> members, int url_line,
                    PyObject* url_prefix);

// The request row of an identity operation with `nparams` parameters: a post
// of the body as JSON, its statements on consecutive lines from the client
// context on.
constexpr Request identity_request(int nparams, void (*build)(Ctx&), int context_line,
                                   Ref (*treat)(Ctx&, PyObject*) = nullptr) {
    const int payload = nparams, endpoint = nparams + 1, client = nparams + 2, response = nparams + 3;
    return Request{&k::post, endpoint, {Keywords::json, {payload}, context_line + 1},
                   {context_line, context_line + 2, context_line + 3}, client, response, build,
                   nullptr, treat};
}

}  // namespace fb
