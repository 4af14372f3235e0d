// The inverse of the variance matrix on a CUDA device (module shermanCUDA).
//
// V = U U' (cuBLAS, single precision) + I (kernel matrixAddI_GPU), solved
// against the identity (kernel initIdentityGPU) by LU with partial pivoting
// (cuSOLVER getrf + getrs stand in for the closed LU library; see
// solver_status.hpp for how their outcomes map onto its messages). Every step
// is synchronised and checked: a failing runtime call prints
// "<file>(<line>) : cudaSafeCall() Runtime API error : <text>." and a failing
// step "<file>(<line>) : cutilCheckMsg() CUTIL CUDA error : <label> : <text>.",
// both for standard error, and the run stops with status -1; a failing solve
// stops it with its message for standard output and status 1 (each a
// RunError carrying the text). Device memory and the library handles belong
// to objects of the call, released on every way out. Byte counts are 64-bit:
// a matrix larger than the device holds fails at its allocation with the
// runtime's message.
#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <cusolverDn.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "core/fatal_error.hpp"
#include "jackknife_engine/gpu/sherman_gpu.hpp"
#include "jackknife_engine/gpu/solver_status.hpp"

namespace minque {

namespace {

// cuBLAS and cuSOLVER are loaded when the first device inverse runs: linked
// directly, they would cost every start of the program (with or without a
// device) close to half a second of library initialisation.
struct DenseLibraries {
    decltype(&cublasCreate_v2) blasCreate = nullptr;
    decltype(&cublasDestroy_v2) blasDestroy = nullptr;
    decltype(&cublasSgemm_v2) sgemm = nullptr;
    decltype(&cusolverDnCreate) solverCreate = nullptr;
    decltype(&cusolverDnDestroy) solverDestroy = nullptr;
    decltype(&cusolverDnSgetrf_bufferSize) getrfBufferSize = nullptr;
    decltype(&cusolverDnSgetrf) getrf = nullptr;
    decltype(&cusolverDnSgetrs) getrs = nullptr;
    std::string error;
};

void* openLibrary(const char* path, const char* name, std::string* error) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) handle = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr && error->empty()) *error = std::string("cannot load ") + name + ": " + dlerror();
    return handle;
}

template <class F>
void bind(void* library, const char* symbol, F* target, std::string* error) {
    if (library != nullptr) *target = reinterpret_cast<F>(dlsym(library, symbol));
    if (*target == nullptr && error->empty()) *error = std::string("the dense linear algebra library lacks ") + symbol;
}

const DenseLibraries& denseLibraries() {
    static const DenseLibraries libraries = [] {
        DenseLibraries l;
        void* blas = openLibrary(MINQUE_CUBLAS_LIBRARY, "libcublas.so", &l.error);
        void* solver = openLibrary(MINQUE_CUSOLVER_LIBRARY, "libcusolver.so", &l.error);
        bind(blas, "cublasCreate_v2", &l.blasCreate, &l.error);
        bind(blas, "cublasDestroy_v2", &l.blasDestroy, &l.error);
        bind(blas, "cublasSgemm_v2", &l.sgemm, &l.error);
        bind(solver, "cusolverDnCreate", &l.solverCreate, &l.error);
        bind(solver, "cusolverDnDestroy", &l.solverDestroy, &l.error);
        bind(solver, "cusolverDnSgetrf_bufferSize", &l.getrfBufferSize, &l.error);
        bind(solver, "cusolverDnSgetrf", &l.getrf, &l.error);
        bind(solver, "cusolverDnSgetrs", &l.getrs, &l.error);
        return l;
    }();
    return libraries;
}

[[noreturn]] void stopWithLine(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    throw programText(line, false, -1);
}

void safeCall(cudaError_t status, const char* file, int line) {
    if (status == cudaSuccess) return;
    stopWithLine("%s(%i) : cudaSafeCall() Runtime API error : %s.\n", file, line, cudaGetErrorString(status));
}

void checkMsg(const char* label, const char* file, int line) {
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return;
    stopWithLine("%s(%i) : cutilCheckMsg() CUTIL CUDA error : %s : %s.\n", file, line, label,
                 cudaGetErrorString(status));
}

#define cudaSafeCall(call) safeCall((call), __FILE__, __LINE__)
#define cutilCheckMsg(label) checkMsg((label), __FILE__, __LINE__)

// The library handles of one solve: created and destroyed within the call.
struct SolverHandles {
    cublasHandle_t blas = nullptr;
    cusolverDnHandle_t solver = nullptr;
    SolverHandles() = default;
    SolverHandles(const SolverHandles&) = delete;
    SolverHandles& operator=(const SolverHandles&) = delete;
    ~SolverHandles() { shutdown(); }
    void shutdown() {
        if (solver != nullptr) denseLibraries().solverDestroy(solver);
        if (blas != nullptr) denseLibraries().blasDestroy(blas);
        solver = nullptr;
        blas = nullptr;
    }
};

// A block of device memory of one call, freed when the call ends.
template <class T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer() { release(); }
    // cudaMalloc of `bytes` (at least 1), checked.
    void allocate(size_t bytes, const char* file, int line) {
        safeCall(cudaMalloc(reinterpret_cast<void**>(&p_), bytes > 0 ? bytes : 1), file, line);
    }
    void release() {
        if (p_ != nullptr) cudaFree(p_);
        p_ = nullptr;
    }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

const char* cusolverText(cusolverStatus_t status) {
    switch (status) {
        case CUSOLVER_STATUS_NOT_INITIALIZED: return "the solver library is not initialised";
        case CUSOLVER_STATUS_ALLOC_FAILED: return "the solver library could not allocate device memory";
        case CUSOLVER_STATUS_ARCH_MISMATCH: return "the device is not supported by the solver library";
        case CUSOLVER_STATUS_NOT_SUPPORTED: return "the operation is not supported by the solver library";
        default: return "the solver library failed";
    }
}

// Stops the run on a failing solve, with status 1 (the handles are shut down
// on the way out).
void checkCulaStatus(int status, int detail, const std::string& text, SolverHandles&) {
    if (status == kSolverOk) return;
    throw programText(solverStatusMessage(status, detail, text), true, 1);
}

void checkSolver(cusolverStatus_t status, SolverHandles& handles) {
    if (status == CUSOLVER_STATUS_SUCCESS) return;
    // An invalid argument is caught before the call with its number
    // (luFactorArgumentError); one that reaches the library has none to give.
    const int mapped = (status == CUSOLVER_STATUS_EXECUTION_FAILED || status == CUSOLVER_STATUS_INTERNAL_ERROR)
                           ? kSolverRuntimeError
                           : kSolverOther;
    checkCulaStatus(mapped, static_cast<int>(status), cusolverText(status), handles);
}

// The info of getrf / getrs: < 0 an invalid argument, > 0 a zero pivot.
void checkInfo(const int* d_info, SolverHandles& handles) {
    int info = 0;
    cudaSafeCall(cudaMemcpy(&info, d_info, sizeof info, cudaMemcpyDeviceToHost));
    if (info < 0) checkCulaStatus(kSolverInvalidValue, -info, "", handles);
    if (info > 0) checkCulaStatus(kSolverDataError, info, "", handles);
}

}  // namespace

__global__ void matrixAddI_GPU(float* d_V, int size) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < size) d_V[static_cast<size_t>(i) * size + i] += 1.0f;
}

__global__ void initIdentityGPU(float* d_Output, int size) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x < size && y < size && x == y) d_Output[static_cast<size_t>(y) * size + x] = 1.0f;
}

std::string gpuLibraryProblem() { return denseLibraries().error; }

int inverseV_GPU(const float* denseU, float* result, int n, int m) {
    const size_t bytesU = static_cast<size_t>(n) * static_cast<size_t>(m) * sizeof(float);
    const size_t bytesV = static_cast<size_t>(n) * static_cast<size_t>(n) * sizeof(float);
    DeviceBuffer<float> d_U, d_V, d_Output, d_work;
    DeviceBuffer<int> d_ipiv, d_info;
    SolverHandles handles;
    const DenseLibraries& lib = denseLibraries();
    if (!lib.error.empty()) checkCulaStatus(kSolverOther, 0, lib.error, handles);

    d_U.allocate(bytesU, __FILE__, __LINE__);
    cudaSafeCall(cudaMemcpy(d_U.get(), denseU, bytesU, cudaMemcpyHostToDevice));
    d_V.allocate(bytesV, __FILE__, __LINE__);

    // V = U U': the dense U is row-major n x m, i.e. the column-major m x n U'.
    if (lib.blasCreate(&handles.blas) != CUBLAS_STATUS_SUCCESS) checkCulaStatus(kSolverBlasError, 1, "", handles);
    const float one = 1.0f, zero = 0.0f;
    // The product's status is not looked at: a failure surfaces at the
    // synchronisation and the error check that follow.
    (void)lib.sgemm(handles.blas, CUBLAS_OP_T, CUBLAS_OP_N, n, n, m, &one, d_U.get(), m > 0 ? m : 1, d_U.get(),
                    m > 0 ? m : 1, &zero, d_V.get(), n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("cublasSgemm() execution failed");

    matrixAddI_GPU<<<(n + 255) / 256, 256>>>(d_V.get(), n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("matrixAddI_GPU() execution failed");
    d_U.release();

    d_Output.allocate(bytesV, __FILE__, __LINE__);
    cudaSafeCall(cudaMemset(d_Output.get(), 0, bytesV));
    const dim3 block(16, 16, 1);
    const dim3 grid((n + 15) >> 4, (n + 15) >> 4, 1);
    initIdentityGPU<<<grid, block>>>(d_Output.get(), n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("initIdentityGPU() execution failed");

    d_ipiv.allocate(static_cast<size_t>(n) * sizeof(int), __FILE__, __LINE__);
    cudaSafeCall(cudaMemset(d_ipiv.get(), 0, static_cast<size_t>(n) * sizeof(int)));

    // V X = I by LU with partial pivoting; the workspace lives in this call.
    if (const int bad = luFactorArgumentError(n, n, n)) checkCulaStatus(kSolverInvalidValue, bad, "", handles);
    if (const int bad = luSolveArgumentError(n, n, n, n)) checkCulaStatus(kSolverInvalidValue, bad, "", handles);
    checkSolver(lib.solverCreate(&handles.solver), handles);
    int lwork = 0;
    checkSolver(lib.getrfBufferSize(handles.solver, n, n, d_V.get(), n, &lwork), handles);
    d_work.allocate(static_cast<size_t>(lwork > 0 ? lwork : 1) * sizeof(float), __FILE__, __LINE__);
    d_info.allocate(sizeof(int), __FILE__, __LINE__);
    checkSolver(lib.getrf(handles.solver, n, n, d_V.get(), n, d_work.get(), d_ipiv.get(), d_info.get()), handles);
    checkInfo(d_info.get(), handles);
    checkSolver(lib.getrs(handles.solver, CUBLAS_OP_N, n, n, d_V.get(), n, d_ipiv.get(), d_Output.get(), n, d_info.get()),
                handles);
    checkInfo(d_info.get(), handles);
    handles.shutdown();
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("culaDeviceSgesv() execution failed");

    cudaSafeCall(cudaMemcpy(result, d_Output.get(), bytesV, cudaMemcpyDeviceToHost));
    return 0;
}

void shermanGPU(AnalysisState& st, int n, int m) {
    std::vector<float> denseU, result;
    try {
        denseU.resize(static_cast<size_t>(n) * static_cast<size_t>(m));
        result.assign(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0f);
    } catch (const std::bad_alloc&) {
        fatalError("allocation failure in dvector()");
    }
    buildDenseU(st, denseU.data(), n, m);
    inverseV_GPU(denseU.data(), result.data(), n, m);
    std::vector<float>().swap(denseU);
    denseToMatrix(result.data(), st.vInverse, n);
}

}  // namespace minque
