// The three instances of the evaluator.
#include "evaluator/evaluator.h"

namespace qx {

template RealTraits::Value evaluate<RealTraits, false>(const uint8_t*, RealTraits::Value* const*, RealTraits::Value*,
                                                const Handover<RealTraits>*) noexcept;
template ComplexTraits::Value evaluate<ComplexTraits, false>(const uint8_t*, ComplexTraits::Value* const*,
                                                      ComplexTraits::Value*, const Handover<ComplexTraits>*) noexcept;
template IntTraits::Value evaluate<IntTraits, false>(const uint8_t*, IntTraits::Value* const*, IntTraits::Value*,
                                              const Handover<IntTraits>*) noexcept;

template RealTraits::Value evaluate<RealTraits, true>(const uint8_t*, RealTraits::Value* const*, RealTraits::Value*,
                                                      const Handover<RealTraits>*) noexcept;
template ComplexTraits::Value evaluate<ComplexTraits, true>(const uint8_t*, ComplexTraits::Value* const*,
                                                            ComplexTraits::Value*, const Handover<ComplexTraits>*) noexcept;
template IntTraits::Value evaluate<IntTraits, true>(const uint8_t*, IntTraits::Value* const*, IntTraits::Value*,
                                                    const Handover<IntTraits>*) noexcept;

}  // namespace qx
