#ifndef SERIVANE_CORE_DENSE_MATRIX_H_
#define SERIVANE_CORE_DENSE_MATRIX_H_

#include <cstdint>

namespace serivane {

// A rows x cols matrix of doubles in one contiguous row-major block, with a table of row pointers
// so that m[i][j] reads element (i, j) and a whole level can be swept row by row. The matrix owns
// both the pointer table and the block. With rows <= 0 there is no pointer table; with
// rows * cols <= 0 the block is empty.
class DenseMatrix {
 public:
  DenseMatrix(std::int32_t rows, std::int32_t cols, double fill);
  DenseMatrix() : DenseMatrix(0, 0, 0.0) {}
  DenseMatrix(const DenseMatrix& other);
  DenseMatrix(DenseMatrix&& other) noexcept;
  ~DenseMatrix();

  // Self-assignment does nothing; a different shape releases and reallocates to the other's
  // shape; then every element is copied.
  DenseMatrix& operator=(const DenseMatrix& other);
  DenseMatrix& operator=(DenseMatrix&& other) noexcept;

  double* operator[](std::int32_t i) { return rowPtrs[i]; }
  const double* operator[](std::int32_t i) const { return rowPtrs[i]; }

  std::int32_t nRows() const { return rows; }
  std::int32_t nCols() const { return cols; }
  // The contiguous block of rows * cols elements (null when empty).
  double* data() { return rowPtrs ? rowPtrs[0] : nullptr; }
  const double* data() const { return rowPtrs ? rowPtrs[0] : nullptr; }

 private:
  void allocate(std::int32_t r, std::int32_t c);
  void release() noexcept;

  std::int32_t rows = 0;
  std::int32_t cols = 0;
  double** rowPtrs = nullptr;
};

}  // namespace serivane

#endif  // SERIVANE_CORE_DENSE_MATRIX_H_
