// Player commands: "call_method" messages to the browser player, {"cid": self.id, "method": <name>, ...}.
#pragma once

#include "surface.hpp"

namespace wa {

// {"cid": None, "method": <method>}: the head of a command's payload, made
// once per function (pyrt::Prepare) and copied by every call.
PyObject* command_head(PyObject* module, const char* method) noexcept;

// The head of this function's payload with "cid" set to self.id.
Ref command_payload(Function* f, PyObject* self) noexcept;

// Sends {"cid": self.id, "method": <method>, <param>: float(<arg>), ...} as
// "call_method": one float entry per parameter after self, keyed by its name.
PyObject* send_command(Function* f, Args a);

// A command: a method of the handle whose parameters after self become
// float entries of the payload, e.g.
//
//     command("seek", "跳转到指定时间", {{"self"}, {"seconds", pyrt::d_int(0)}}, "seek")
//
// sends {"cid": id, "method": "seek", "seconds": float(seconds)}.
PyObject* prepare_command(PyObject* module, const FuncDef& def) noexcept;
template <std::size_t N>
constexpr FuncDef command(const char* name, const char* doc, const pyrt::Param (&params)[N], const char* method) {
    return def(name, doc, params, send_command).with_data(method).with_prepare(prepare_command);
}

}  // namespace wa
