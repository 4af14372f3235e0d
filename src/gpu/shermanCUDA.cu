// The inverse of the variance matrix on a CUDA device (module shermanCUDA).
//
// V = U U' (cuBLAS, single precision) + I (kernel matrixAddI_GPU), solved
// against the identity (kernel initIdentityGPU) by LU with partial pivoting
// (cuSOLVER getrf + getrs stand in for the closed LU library; see
// solver_status.hpp for how their outcomes map onto its messages). Every step
// is synchronised and checked: a failing runtime call prints
// "<file>(<line>) : cudaSafeCall() Runtime API error : <text>." and a failing
// step "<file>(<line>) : cutilCheckMsg() CUTIL CUDA error : <label> : <text>.",
// both on standard error, and the process ends with status -1; a failing
// solve prints its message on standard output and ends with status 1. Byte
// counts are 64-bit: a matrix larger than the device holds fails at its
// allocation with the runtime's message.
#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <cusolverDn.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/fatal_error.hpp"
#include "gpu/sherman_gpu.hpp"
#include "gpu/solver_status.hpp"

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

void safeCall(cudaError_t status, const char* file, int line) {
    if (status == cudaSuccess) return;
    std::fprintf(stderr, "%s(%i) : cudaSafeCall() Runtime API error : %s.\n", file, line, cudaGetErrorString(status));
    std::exit(-1);
}

void checkMsg(const char* label, const char* file, int line) {
    const cudaError_t status = cudaGetLastError();
    if (status == cudaSuccess) return;
    std::fprintf(stderr, "%s(%i) : cutilCheckMsg() CUTIL CUDA error : %s : %s.\n", file, line, label,
                 cudaGetErrorString(status));
    std::exit(-1);
}

#define cudaSafeCall(call) safeCall((call), __FILE__, __LINE__)
#define cutilCheckMsg(label) checkMsg((label), __FILE__, __LINE__)

// The library handles of one solve: created and destroyed within the call.
struct SolverHandles {
    cublasHandle_t blas = nullptr;
    cusolverDnHandle_t solver = nullptr;
    void shutdown() {
        if (solver != nullptr) denseLibraries().solverDestroy(solver);
        if (blas != nullptr) denseLibraries().blasDestroy(blas);
        solver = nullptr;
        blas = nullptr;
    }
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

// Reports a failing solve and ends the process with status 1.
void checkCulaStatus(int status, int detail, const std::string& text, SolverHandles& handles) {
    if (status == kSolverOk) return;
    std::fputs(solverStatusMessage(status, detail, text).c_str(), stdout);
    std::fflush(stdout);
    handles.shutdown();
    std::exit(1);
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
    float *d_U = nullptr, *d_V = nullptr, *d_Output = nullptr;
    int* d_ipiv = nullptr;
    SolverHandles handles;
    const DenseLibraries& lib = denseLibraries();
    if (!lib.error.empty()) checkCulaStatus(kSolverOther, 0, lib.error, handles);

    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_U), bytesU > 0 ? bytesU : 1));
    cudaSafeCall(cudaMemcpy(d_U, denseU, bytesU, cudaMemcpyHostToDevice));
    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_V), bytesV));

    // V = U U': the dense U is row-major n x m, i.e. the column-major m x n U'.
    if (lib.blasCreate(&handles.blas) != CUBLAS_STATUS_SUCCESS) checkCulaStatus(kSolverBlasError, 1, "", handles);
    const float one = 1.0f, zero = 0.0f;
    // The product's status is not looked at: a failure surfaces at the
    // synchronisation and the error check that follow.
    (void)lib.sgemm(handles.blas, CUBLAS_OP_T, CUBLAS_OP_N, n, n, m, &one, d_U, m > 0 ? m : 1, d_U, m > 0 ? m : 1, &zero,
                    d_V, n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("cublasSgemm() execution failed");

    matrixAddI_GPU<<<(n + 255) / 256, 256>>>(d_V, n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("matrixAddI_GPU() execution failed");
    cudaFree(d_U);

    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_Output), bytesV));
    cudaSafeCall(cudaMemset(d_Output, 0, bytesV));
    const dim3 block(16, 16, 1);
    const dim3 grid((n + 15) >> 4, (n + 15) >> 4, 1);
    initIdentityGPU<<<grid, block>>>(d_Output, n);
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("initIdentityGPU() execution failed");

    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_ipiv), static_cast<size_t>(n) * sizeof(int)));
    cudaSafeCall(cudaMemset(d_ipiv, 0, static_cast<size_t>(n) * sizeof(int)));

    // V X = I by LU with partial pivoting; the workspace lives in this call.
    if (const int bad = luFactorArgumentError(n, n, n)) checkCulaStatus(kSolverInvalidValue, bad, "", handles);
    if (const int bad = luSolveArgumentError(n, n, n, n)) checkCulaStatus(kSolverInvalidValue, bad, "", handles);
    checkSolver(lib.solverCreate(&handles.solver), handles);
    int lwork = 0;
    checkSolver(lib.getrfBufferSize(handles.solver, n, n, d_V, n, &lwork), handles);
    float* d_work = nullptr;
    int* d_info = nullptr;
    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_work), static_cast<size_t>(lwork > 0 ? lwork : 1) * sizeof(float)));
    cudaSafeCall(cudaMalloc(reinterpret_cast<void**>(&d_info), sizeof(int)));
    checkSolver(lib.getrf(handles.solver, n, n, d_V, n, d_work, d_ipiv, d_info), handles);
    checkInfo(d_info, handles);
    checkSolver(lib.getrs(handles.solver, CUBLAS_OP_N, n, n, d_V, n, d_ipiv, d_Output, n, d_info), handles);
    checkInfo(d_info, handles);
    handles.shutdown();
    cudaSafeCall(cudaDeviceSynchronize());
    cutilCheckMsg("culaDeviceSgesv() execution failed");

    cudaSafeCall(cudaMemcpy(result, d_Output, bytesV, cudaMemcpyDeviceToHost));
    cudaFree(d_work);
    cudaFree(d_info);
    cudaFree(d_ipiv);
    cudaFree(d_V);
    cudaFree(d_Output);
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
