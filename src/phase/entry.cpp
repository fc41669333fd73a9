// Python entry points of the liquid-liquid spinodal and binodal. They run on
// the calling thread with the interpreter lock held: a call costs at most a
// few milliseconds per pressure and the inputs are copied first.
#include <vector>

#include "batch.hpp"
#include "entry_points.hpp"
#include "phase/binodal.hpp"
#include "phase/spinodal.hpp"
#include "phase/models.hpp"

namespace tessarin {
namespace {

using phase::BinodalResult;
using phase::SpinodalResult;

struct Column {
  const char* key;
  const std::vector<double>* values;
};

// A new dict of float64 arrays, one per column, inserted in column order.
template <std::size_t N>
PyObject* columns_to_dict(const Column (&cols)[N]) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Column& c : cols) {
    PyRef arr = f64_array_from(*c.values);
    if (!arr || !dict_set(dict.get(), c.key, arr.get())) return nullptr;
  }
  return dict.release();
}

}  // namespace

namespace phase {

PyObject* to_py_dict(const SpinodalResult& r) {
  const Column cols[] = {
      {"T_K", &r.T_K},           {"p_MPa", &r.p_MPa},           {"T_upper", &r.T_upper},
      {"T_lower", &r.T_lower},   {"x_lo_upper", &r.x_lo_upper}, {"x_hi_upper", &r.x_hi_upper},
      {"x_lo_lower", &r.x_lo_lower}, {"x_hi_lower", &r.x_hi_lower}, {"p_array", &r.p_array}};
  return columns_to_dict(cols);
}

PyObject* to_py_dict(const BinodalResult& r) {
  const Column cols[] = {{"T_K", &r.T_K},           {"p_MPa", &r.p_MPa}, {"x", &r.x},
                         {"T_binodal", &r.T_binodal}, {"x_lo", &r.x_lo},   {"x_hi", &r.x_hi},
                         {"p_array", &r.p_array}};
  return columns_to_dict(cols);
}

}  // namespace phase

namespace {

// (p_arr, t_llcp, p_llcp)
template <class Model>
PyObject* spinodal_entry(ArgValue* args) {
  PyArrayObject* p = args[0].array();
  if (!require_contiguous(p)) return nullptr;
  const std::vector<double> P = copy_f64(p);
  return phase::to_py_dict(phase::compute_spinodal<Model>(P, args[1].number, args[2].number));
}

// (spin_p, spin_t_upper, spin_t_lower, t_llcp, p_llcp)
template <class Model>
PyObject* binodal_entry(ArgValue* args) {
  PyArrayObject* sp = args[0].array();
  PyArrayObject* su = args[1].array();
  PyArrayObject* sl = args[2].array();
  if (!require_contiguous(sp) || !require_contiguous(su) || !require_contiguous(sl))
    return nullptr;
  const std::size_t n = array_len(sp);
  if (!require_at_least(su, "spin_t_upper", n, "spin_p") ||
      !require_at_least(sl, "spin_t_lower", n, "spin_p"))
    return nullptr;
  const std::vector<double> S_p = copy_f64(sp, n);
  const std::vector<double> S_u = copy_f64(su, n);
  const std::vector<double> S_l = copy_f64(sl, n);
  return phase::to_py_dict(
      phase::compute_binodal<Model>(S_p, S_u, S_l, args[3].number, args[4].number));
}

}  // namespace

PyObject* py_compute_spinodal_caupin(ArgValue* args) {
  return spinodal_entry<phase::CaupinTableIIITwoState>(args);
}
PyObject* py_compute_spinodal_caupin_kim(ArgValue* args) {
  return spinodal_entry<phase::CaupinTableIITwoState>(args);
}
PyObject* py_compute_spinodal_holten(ArgValue* args) {
  return spinodal_entry<phase::HoltenTwoState>(args);
}
PyObject* py_compute_spinodal_duska(ArgValue* args) {
  return spinodal_entry<phase::DuskaTwoState>(args);
}

PyObject* py_compute_binodal_caupin(ArgValue* args) {
  return binodal_entry<phase::CaupinTableIIITwoState>(args);
}
PyObject* py_compute_binodal_caupin_kim(ArgValue* args) {
  return binodal_entry<phase::CaupinTableIITwoState>(args);
}
PyObject* py_compute_binodal_holten(ArgValue* args) {
  return binodal_entry<phase::HoltenTwoState>(args);
}
PyObject* py_compute_binodal_duska(ArgValue* args) {
  return binodal_entry<phase::DuskaTwoState>(args);
}

}  // namespace tessarin
