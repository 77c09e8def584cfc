// Real-to-complex Fourier transforms through FFTW3: a plan is made once per
// size and reused for every later transform of that size.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <map>
#include <memory>
#include <vector>

struct FftwFree {
    void operator()(void *p) const { fftw_free(p); }
};
//! An array from fftw_malloc: aligned as FFTW's vector code wants it.
template <typename T> using FftwArray = std::unique_ptr<T[], FftwFree>;

//! `n` uninitialised reals or complex values from fftw_malloc; throws
//! std::bad_alloc when there is no memory.
FftwArray<double> fftw_reals(size_t n);
FftwArray<fftw_complex> fftw_complexes(size_t n);

struct FftwPlanDestroy {
    void operator()(fftw_plan_s *plan) const;
};
using FftwPlanPtr = std::unique_ptr<fftw_plan_s, FftwPlanDestroy>;

//! The forward transforms of one user (an analyser), planned on first use.
//! Plans are made with FFTW_ESTIMATE, which chooses the same algorithm for a
//! size every time, so a sound gives the same spectrum in every run. Making
//! a plan is serialised over the whole process (FFTW's planner is not
//! thread-safe); transforming is not.
class FftPlans {
public:
    //! The spectrum of in[0 .. n-1] into out[0 .. n/2]. Both arrays come from
    //! fftw_reals / fftw_complexes; `in` is left as it was.
    void forward(size_t n, double *in, fftw_complex *out);

    //! Arrays of at least `n` values kept for the next transform: a large
    //! sound's spectrum needs tens of megabytes, which are not asked of the
    //! system afresh for every sound. Valid until the next call.
    double *reals(size_t n);
    fftw_complex *complexes(size_t n);
    //! A spectrum's magnitudes, kept likewise.
    std::vector<double> &magnitudes() { return magnitudes_; }

private:
    std::map<size_t, FftwPlanPtr> plans_;
    FftwArray<double> reals_;
    FftwArray<fftw_complex> complexes_;
    size_t reals_size_ = 0, complexes_size_ = 0;
    std::vector<double> magnitudes_;
};
