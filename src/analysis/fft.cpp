// Real-to-complex Fourier transforms through FFTW3.
#include "fft.h"

#include <mutex>
#include <new>

namespace {

std::mutex &planner_lock()
{
    static std::mutex lock;
    return lock;
}

template <typename T> FftwArray<T> fftw_array(size_t n)
{
    // fftw_malloc(0) may give null: ask for one element at least.
    T *p = static_cast<T *>(fftw_malloc(sizeof(T) * (n > 0 ? n : 1)));
    if (!p)
        throw std::bad_alloc();
    return FftwArray<T>(p);
}

} // namespace

FftwArray<double> fftw_reals(size_t n)
{
    return fftw_array<double>(n);
}

FftwArray<fftw_complex> fftw_complexes(size_t n)
{
    return fftw_array<fftw_complex>(n);
}

void FftwPlanDestroy::operator()(fftw_plan_s *plan) const
{
    const std::lock_guard<std::mutex> guard(planner_lock());
    fftw_destroy_plan(plan);
}

void FftPlans::forward(size_t n, double *in, fftw_complex *out)
{
    auto found = plans_.find(n);
    if (found == plans_.end()) {
        // Planned on scratch arrays of the same alignment as every later
        // pair (all come from fftw_malloc); FFTW_ESTIMATE does not touch them.
        const FftwArray<double> scratch_in = fftw_reals(n);
        const FftwArray<fftw_complex> scratch_out = fftw_complexes(n / 2 + 1);
        fftw_plan plan = nullptr;
        {
            const std::lock_guard<std::mutex> guard(planner_lock());
            plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), scratch_in.get(), scratch_out.get(),
                                        FFTW_ESTIMATE);
        }
        if (!plan)
            throw std::bad_alloc();
        found = plans_.emplace(n, FftwPlanPtr(plan)).first;
    }
    fftw_execute_dft_r2c(found->second.get(), in, out);
}

double *FftPlans::reals(size_t n)
{
    if (n > reals_size_) {
        reals_ = fftw_reals(n);
        reals_size_ = n;
    }
    return reals_.get();
}

fftw_complex *FftPlans::complexes(size_t n)
{
    if (n > complexes_size_) {
        complexes_ = fftw_complexes(n);
        complexes_size_ = n;
    }
    return complexes_.get();
}
