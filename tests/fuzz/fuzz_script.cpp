// Compiles the input as a script and runs it twice against a small blackboard holding
// one entry of every kind. Any error other than the engine's own is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quorvel/blackboard.hpp"
#include "quorvel/script.hpp"

namespace {

struct Thing : quorvel::Opaque {
    std::string typeName() const override { return "Thing"; }
};

quorvel::Blackboard::Ptr makeBlackboard(quorvel::Blackboard::Ptr root) {
    using quorvel::Value;
    auto child = quorvel::Blackboard::create(root);
    root->set("i", 7);
    root->set("n", -3);
    root->set("big", int64_t(INT64_MAX));
    root->set("small", int64_t(INT64_MIN));
    root->set("r", 2.5);
    root->set("z", 0.0);
    root->set("t", "12");
    root->set("s", "abc");
    root->set("b", true);
    root->set("o", Value(quorvel::OpaquePtr(std::make_shared<Thing>())));
    root->set("e", Value());
    child->set("c", "0x10");
    child->addRemap("shared", "i");
    return child;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string source(reinterpret_cast<const char*>(data), size);
    std::shared_ptr<const quorvel::Script> script;
    try {
        script = quorvel::Script::compile(source);
    } catch (const quorvel::ScriptSyntaxError& e) {
        // A column always points into the script or just past its end.
        if (e.column() < 1 || static_cast<size_t>(e.column()) > size + 1) __builtin_trap();
        return 0;
    }
    if (script->source() != source) __builtin_trap();
    auto root = quorvel::Blackboard::create();
    auto bb = makeBlackboard(root);
    for (int round = 0; round < 2; ++round) {
        try {
            script->run(*bb);
        } catch (const quorvel::ScriptError&) {
        }
        try {
            script->runCondition(*bb);
        } catch (const quorvel::ScriptError&) {
        }
    }
    return 0;
}
