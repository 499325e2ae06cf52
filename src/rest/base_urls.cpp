// The two service base addresses, built anew from configuration on every call.
#include "core/error.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

constexpr int FIRESTORE_LINE = 158;
constexpr int FUNCTIONS_LINE = 164;

}  // namespace

PyObject* get_firestore_base_url_body(PyObject* const*) {
    try {
        Ref project = to_text(lookup(k::FIREBASE_PROJECT_ID).get());
        return concat({k::url_firestore_prefix, project.get(), k::url_firestore_suffix}).release();
    } catch (const PyError&) {
        add_traceback(function(Fn::get_firestore_base_url).qualified, FIRESTORE_LINE);
        throw;
    }
}

PyObject* get_functions_base_url_body(PyObject* const*) {
    try {
        Ref region = to_text(lookup(k::FIREBASE_REGION).get());
        Ref project = to_text(lookup(k::FIREBASE_PROJECT_ID).get());
        return concat({k::url_https, region.get(), k::dash, project.get(), k::url_functions_suffix})
            .release();
    } catch (const PyError&) {
        add_traceback(function(Fn::get_functions_base_url).qualified, FUNCTIONS_LINE);
        throw;
    }
}

}  // namespace fb
