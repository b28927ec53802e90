// Numerical functions of the real engine.
#pragma once
#include <cstdint>

namespace qx::numeric {

double atan2Fn(int32_t last, double* a) noexcept;
double maxFn(int32_t last, double* a) noexcept;
double minFn(int32_t last, double* a) noexcept;
double fmodFn(int32_t last, double* a) noexcept;
double modfFn(int32_t last, double* a) noexcept;
double signFn(int32_t last, double* a) noexcept;
double dimFn(int32_t last, double* a) noexcept;

// Functions that evaluate another real formula many times.
double simpIntegrate(int32_t last, double* a) noexcept;
double sum(int32_t last, double* a) noexcept;
double pro(int32_t last, double* a) noexcept;
double dataSum(int32_t last, double* a) noexcept;
double dataPro(int32_t last, double* a) noexcept;
double dataArraySum(int32_t last, double* a) noexcept;

}  // namespace qx::numeric
