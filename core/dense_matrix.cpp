#include "core/dense_matrix.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace serivane {

void DenseMatrix::allocate(std::int32_t r, std::int32_t c) {
  rows = r;
  cols = c;
  rowPtrs = nullptr;
  if (rows <= 0) return;
  rowPtrs = new double*[rows];
  const std::size_t count =
      (cols > 0) ? static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) : 0;
  double* block = nullptr;
  try {
    block = count > 0 ? new double[count] : nullptr;
  } catch (...) {
    delete[] rowPtrs;
    rowPtrs = nullptr;
    rows = cols = 0;
    throw;
  }
  for (std::int32_t i = 0; i < rows; ++i) {
    rowPtrs[i] = block ? block + static_cast<std::size_t>(i) * cols : nullptr;
  }
}

void DenseMatrix::release() noexcept {
  if (rowPtrs) {
    delete[] rowPtrs[0];
    delete[] rowPtrs;
  }
  rowPtrs = nullptr;
  rows = cols = 0;
}

DenseMatrix::DenseMatrix(std::int32_t r, std::int32_t c, double fill) {
  allocate(r, c);
  if (double* block = data()) std::fill(block, block + static_cast<std::size_t>(rows) * cols, fill);
}

DenseMatrix::DenseMatrix(const DenseMatrix& other) {
  allocate(other.rows, other.cols);
  if (double* block = data()) {
    std::copy(other.data(), other.data() + static_cast<std::size_t>(rows) * cols, block);
  }
}

DenseMatrix::DenseMatrix(DenseMatrix&& other) noexcept
    : rows(other.rows), cols(other.cols), rowPtrs(other.rowPtrs) {
  other.rows = other.cols = 0;
  other.rowPtrs = nullptr;
}

DenseMatrix::~DenseMatrix() { release(); }

DenseMatrix& DenseMatrix::operator=(const DenseMatrix& other) {
  if (this == &other) return *this;
  if (rows != other.rows || cols != other.cols) {
    release();
    allocate(other.rows, other.cols);
  }
  if (double* block = data()) {
    std::copy(other.data(), other.data() + static_cast<std::size_t>(rows) * cols, block);
  }
  return *this;
}

DenseMatrix& DenseMatrix::operator=(DenseMatrix&& other) noexcept {
  if (this == &other) return *this;
  release();
  std::swap(rows, other.rows);
  std::swap(cols, other.cols);
  std::swap(rowPtrs, other.rowPtrs);
  return *this;
}

}  // namespace serivane
