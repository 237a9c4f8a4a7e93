#include "core/dense_matrix.h"

#include <gtest/gtest.h>

#include <utility>

namespace serivane {

TEST(DenseMatrix, FillsOneContiguousRowMajorBlock) {
  DenseMatrix m(3, 4, 2.5);
  ASSERT_EQ(m.nRows(), 3);
  ASSERT_EQ(m.nCols(), 4);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m[i], m.data() + 4 * i) << "row " << i << " is not 4 elements after the previous";
    for (int j = 0; j < 4; ++j) EXPECT_EQ(m[i][j], 2.5);
  }
}

TEST(DenseMatrix, AssignmentReshapesCopiesAndIgnoresSelf) {
  DenseMatrix big(3, 4, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) big[i][j] = 10 * i + j;
  DenseMatrix small(2, 2, -1.0);
  small = big;
  ASSERT_EQ(small.nRows(), 3);
  ASSERT_EQ(small.nCols(), 4);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(small[i][j], 10 * i + j);
  EXPECT_NE(small.data(), big.data());  // a deep copy

  const double* before = small.data();
  DenseMatrix& self = small;
  small = self;
  EXPECT_EQ(small.data(), before);
  EXPECT_EQ(small[2][3], 23.0);

  // Same shape: copied in place, no reallocation.
  DenseMatrix same(3, 4, 7.0);
  const double* block = same.data();
  same = big;
  EXPECT_EQ(same.data(), block);
  EXPECT_EQ(same[1][2], 12.0);

  DenseMatrix copied(big);
  EXPECT_EQ(copied[2][1], 21.0);
  DenseMatrix moved(std::move(copied));
  EXPECT_EQ(moved[2][1], 21.0);
  EXPECT_EQ(copied.nRows(), 0);
}

TEST(DenseMatrix, EmptyShapes) {
  DenseMatrix none(0, 5, 1.0);
  EXPECT_EQ(none.data(), nullptr);
  DenseMatrix noCols(3, 0, 1.0);
  EXPECT_EQ(noCols.data(), nullptr);
  DenseMatrix target(2, 2, 1.0);
  target = none;
  EXPECT_EQ(target.nRows(), 0);
  EXPECT_EQ(target.data(), nullptr);
}

}  // namespace serivane
