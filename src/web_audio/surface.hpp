// What the areas (player/, streaming/, writer/) share: how they register their callables.
#pragma once

#include "pyrt/function.hpp"
#include "state.hpp"

#include <span>
#include <utility>
#include <vector>

namespace wa {

using pyrt::Args;
using pyrt::FuncDef;
using pyrt::Function;
using pyrt::Ref;
using pyrt::def;

inline State* state(Function* f) noexcept { return static_cast<State*>(f->module_state); }

// A class member: a method, or a property made from a getter and an optional setter.
struct Member {
    const FuncDef* fn;
    const FuncDef* setter = nullptr;
    bool property = false;
};
inline Member method(const FuncDef& fn) noexcept { return {&fn, nullptr, false}; }
inline Member property(const FuncDef& get, const FuncDef* set = nullptr) noexcept { return {&get, set, true}; }

// Where a WebAudioProps member sits.  The class lists its members section by
// section, each section in the order its members were registered.
enum class Section { Init, Options, Commands, Channel, Writer, Relay, Events };

// What the module hands each area in turn.  Module-level functions and
// classes are bound into the module namespace when registered (so the
// registration order is the namespace order); handle members are collected
// and become the WebAudioProps template when the module calls finish().
class Surface {
public:
    explicit Surface(PyObject* module) noexcept : module_(module) {}
    PyObject* module() const noexcept { return module_; }
    State* state() const noexcept { return state_of(module_); }

    // def.name = <function>.  0 / -1.
    int add_function(const FuncDef& def) noexcept;
    // class <name>: __doc__ = doc; <members>, made as a class statement makes
    // it and bound into the module.  The class, or nullptr.
    Ref add_class(const char* name, const char* doc, std::span<const Member> members) noexcept;
    // A WebAudioProps member.
    void add_handle_member(Section section, Member m) { handle_.emplace_back(section, m); }
    // Builds the WebAudioProps member template.  0 / -1.
    int finish() noexcept;

private:
    PyObject* module_;
    std::vector<std::pair<Section, Member>> handle_;
};

// A new function of this module from its declaration (`qualname` nullptr: the name).
Ref new_function(PyObject* module, const FuncDef& def, PyObject* qualname) noexcept;

// Each area registers everything it defines.
int register_writer(Surface& s);
int register_player(Surface& s);
int register_streaming(Surface& s);
// The writer's state kept beside its instances goes with the module.
void release_writer() noexcept;

}  // namespace wa
