#include "quorvel/script.hpp"

#include "machine.hpp"
#include "operations.hpp"
#include "parser.hpp"

namespace quorvel {

namespace {

class CompiledScript final : public Script {
public:
    CompiledScript(std::string source, script::Program program)
        : Script(std::move(source)), program_(std::move(program)) {}

    Value run(Blackboard& blackboard) const override { return script::execute(program_, source(), blackboard); }

private:
    script::Program program_;
};

}  // namespace

std::shared_ptr<const Script> Script::compile(std::string_view source) {
    script::Program program = script::parse(source);
    return std::make_shared<CompiledScript>(std::string(source), std::move(program));
}

bool Script::runCondition(Blackboard& blackboard) const {
    const Value result = run(blackboard);
    bool truth = false;
    if (script::truthOf(result, truth).fault != script::Fault::None)
        throw ScriptError("the result of \"" + source() + "\" is " + result.describe() + ", which is no Boolean");
    return truth;
}

}  // namespace quorvel
