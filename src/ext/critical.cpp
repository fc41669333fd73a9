// Liquid-liquid critical points of the two-state models, computed from their
// two-state quantities (see phase/critical.hpp).
#include <string_view>

#include "ext/entry_points.hpp"
#include "phase/critical.hpp"
#include "phase/models.hpp"

namespace tessarin::ext {

namespace {
// Every variant's critical temperature lies well inside this bracket, and
// along its critical line the field changes sign only once in it.
constexpr double T_BRACKET_LO = 150.0;
constexpr double T_BRACKET_HI = 300.0;

template <class Model>
PyObject* point_tuple() {
  const auto [t, p] = phase::critical_point<Model>(T_BRACKET_LO, T_BRACKET_HI);
  return Py_BuildValue("(dd)", t, p);
}
}  // namespace

PyObject* py_critical_point(ArgValue* args) {
  const std::string_view model = args[0].text;
  if (model == "holten") return point_tuple<phase::HoltenTwoState>();
  if (model == "caupin") return point_tuple<phase::CaupinTableIIITwoState>();
  if (model == "caupin_kim") return point_tuple<phase::CaupinTableIITwoState>();
  if (model == "duska") return point_tuple<phase::DuskaTwoState>();
  PyErr_Format(PyExc_ValueError, "no two-state model named '%U'", args[0].obj.get());
  return nullptr;
}

}  // namespace tessarin::ext
