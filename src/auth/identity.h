// What the identity-service operations share: a JSON body posted to an
// API-key address through the REST exchange. Their records start with the
// parameters, then `payload`, the endpoint, `client` and `response`.
#pragma once
#include <array>
#include "rest/exchange.h"

namespace fb {

// One member of the request body: a record slot, or a constant when slot < 0.
struct Member {
    PyObject* key;
    int slot;
    PyObject* constant = nullptr;
};

struct IdentityCall {
    PyObject* url_prefix;       // address up to and including "?key="
    int body_line, url_line;
    ExchangeLines lines;
    Ref (*treat)(Ctx&, PyObject* reply) = nullptr;
};

BodyTask identity_post(Ctx& cx, IdentityCall call, std::array<Member, 3> members, int count);

}  // namespace fb
