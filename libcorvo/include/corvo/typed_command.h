/// @file
/// Commands whose handlers take typed values: the argument types come from the
/// handler's parameters, so a declaration cannot name one type and convert to
/// another, and the number of names is checked when the program compiles.
///
///   createCommand("move", [this](long slot, double focus) { ... }, "move the wheel", {"slot", "focus"});
///
/// Parameter types and what a peer sees: long -> ARG_INT, double -> ARG_DOUBLE,
/// bool -> ARG_BOOL, std::string -> ARG_STRING (const references too). A
/// request is checked against them before the handler runs (CommandDef::
/// checkArgs, the same refusals as for every other command), so the handler
/// only ever receives values of its types.
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "corvo/command.h"
#include "corvo/misc.h"

namespace corvo {

/// @cond INTERNAL
namespace detail {

template <class T>
struct TypedArgument {
    static_assert(sizeof(T) == 0, "a command handler's parameters are long, double, bool or std::string");
};

template <>
struct TypedArgument<long> {
    static constexpr ArgType type = ARG_INT;
    static long read(const std::string& text) { return readIntArgument(text); }
};

template <>
struct TypedArgument<double> {
    static constexpr ArgType type = ARG_DOUBLE;
    static double read(const std::string& text) { return readDoubleArgument(text); }
};

template <>
struct TypedArgument<bool> {
    static constexpr ArgType type = ARG_BOOL;
    static bool read(const std::string& text) { return readBoolArgument(text); }
};

template <>
struct TypedArgument<std::string> {
    static constexpr ArgType type = ARG_STRING;
    static const std::string& read(const std::string& text) { return text; }
};

/// The parameter types of a handler: a lambda, a function object with one
/// call operator, or a function pointer.
template <class F>
struct HandlerParameters : HandlerParameters<decltype(&F::operator())> {};

template <class R, class... A>
struct HandlerParameters<R (*)(A...)> {
    using Types = std::tuple<std::remove_cv_t<std::remove_reference_t<A>>...>;
};

template <class C, class R, class... A>
struct HandlerParameters<R (C::*)(A...)> : HandlerParameters<R (*)(A...)> {};

template <class C, class R, class... A>
struct HandlerParameters<R (C::*)(A...) const> : HandlerParameters<R (*)(A...)> {};

template <class F>
using HandlerTypes = typename HandlerParameters<std::decay_t<F>>::Types;

template <class F>
constexpr size_t handlerArity = std::tuple_size<HandlerTypes<F>>::value;

template <class Types, size_t... I>
std::vector<CommandDef::Arg_t> declareArguments(const char* const* names, std::index_sequence<I...>)
{
    return {CommandDef::Arg_t{TypedArgument<std::tuple_element_t<I, Types>>::type, names[I]}...};
}

template <class Types, class F, size_t... I>
void callWithArguments(F& handler, const std::vector<std::string>& args, std::index_sequence<I...>)
{
    handler(TypedArgument<std::tuple_element_t<I, Types>>::read(args[I])...);
}

template <class F>
CommandDef typedCommandDef(std::string name, F handler, std::string description, const char* const* names)
{
    using Types = HandlerTypes<F>;
    constexpr size_t arity = std::tuple_size<Types>::value;
    CommandDef def;
    def.name = std::move(name);
    def.description = std::move(description);
    def.args = declareArguments<Types>(names, std::make_index_sequence<arity>());
    def.func = [handler = std::move(handler)](std::vector<std::string> args) mutable {
        // The daemon refuses other counts before it calls; a direct caller
        // gets the same refusal as for a value that does not read.
        if (args.size() != arity)
            throw CorvoArgError();
        callWithArguments<Types>(handler, args, std::make_index_sequence<arity>());
    };
    return def;
}

}  // namespace detail
/// @endcond

/// The definition of a command with typed arguments, one name per parameter
/// of `handler` (a different number does not compile).
template <class F, size_t N>
CommandDef typedCommand(std::string name, F handler, std::string description, const char* const (&argNames)[N])
{
    static_assert(N == detail::handlerArity<F>, "one argument name per parameter of the command's handler");
    return detail::typedCommandDef(std::move(name), std::move(handler), std::move(description), argNames);
}

/// The same for a handler without parameters.
template <class F>
CommandDef typedCommand(std::string name, F handler, std::string description)
{
    static_assert(detail::handlerArity<F> == 0, "argument names are needed for a handler with parameters");
    return detail::typedCommandDef(std::move(name), std::move(handler), std::move(description), nullptr);
}

}  // namespace corvo
