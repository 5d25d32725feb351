// The samples of many groups sorted by group, their ranges, and their linear fits by the
// normal equations, one group after another.
#include "grouped.hpp"

#include "lsq.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zarn::robust {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The input samples through plain pointers, which the passes over them read.
struct Input {
    const double *X, *y, *w; // w null for unit weights
    Index stride, d;         // X's row stride and columns

    Input(const Eigen::Ref<const RowMatrix>& X_, const Eigen::Ref<const VectorXd>& y_,
          const Eigen::Ref<const VectorXd>& w_)
        : X(X_.data())
        , y(y_.data())
        , w(w_.size() ? w_.data() : nullptr)
        , stride(X_.outerStride())
        , d(X_.cols()) {}

    // Whether sample i is used: it has a group, finite values and a positive weight. A
    // value v is finite exactly when v * 0 is 0 (NaN for infinities and NaN), so that one
    // sum tells all of a sample's values, without a branch per value.
    bool used(std::int64_t code, Index i) const {
        double zero = y[i] * 0.0;
        for (Index j = 0; j < d; ++j)
            zero += X[i * stride + j] * 0.0;
        return (code >= 0) & (zero == 0.0) & (!w || w[i] > 0.0);
    }
};

// to[p * step] = from[rows[p] * stride] for p < n.
void gather(const double* from, Index stride, Index step, const std::int64_t* rows, Index n,
            double* to) {
    for (Index p = 0; p < n; ++p)
        to[p * step] = from[rows[p] * stride];
}

// Whether the factorised matrix is positive definite: every pivot positive (LAPACK's
// test; Eigen's factorisation stops at a pivot of 0 or less, but not at NaN).
template <class Factor> bool positive_definite(const Factor& llt) {
    return llt.info() == Eigen::Success && (llt.matrixLLT().diagonal().array() > 0.0).all();
}

// The fit of one group's m rows from `start` (see normal_fits) into row g of `out`, for K
// columns (Eigen::Dynamic: any number): K x K matrices of fixed size stay in registers.
template <int K>
void fit_group(const Eigen::Ref<const MatrixXd>& Phi, const double* y, const double* w, Index start,
               Index m, const MatrixXd& S, double margin, Index g, NormalFits& out) {
    using Square = Eigen::Matrix<double, K, K>;
    using Column = Eigen::Matrix<double, K, 1>;
    const Index k = K == Eigen::Dynamic ? Phi.cols() : K, stride = Phi.outerStride();
    const double* rows = Phi.data() + start;
    auto row = [&](Index i, Column& phi) {
        for (Index a = 0; a < k; ++a)
            phi[a] = rows[a * stride + i];
    };
    // One pass over the rows: G = Phi'W Phi, Phi'W y, sum(w) and sum(w y).
    Square G = Square::Zero(k, k);
    Column rhs = Column::Zero(k), phi(k);
    double total = 0.0, weighted_sum = 0.0;
    for (Index i = 0; i < m; ++i) {
        row(i, phi);
        const double wi = w ? w[start + i] : 1.0;
        G.noalias() += (wi * phi) * phi.transpose();
        if (y) {
            const double wy = wi * y[start + i];
            rhs += wy * phi;
            total += wi;
            weighted_sum += wy;
        }
    }
    const double trace = G.trace();
    out.trace[g] = trace;
    Square shifted = G;
    shifted.diagonal().array() -= margin * trace;
    out.certain[g] = positive_definite(Eigen::LLT<Square>(shifted));
    if (!y)
        return;
    Square A = G;
    if (S.size()) // the penalty in the weights' units: times their mean
        A.noalias() += (total / static_cast<double>(m)) * S;
    const Eigen::LLT<Square> llt(A);
    if (!positive_definite(llt)) {
        out.coef.row(g).setConstant(NaN);
        out.inverse.row(g).setConstant(NaN);
        out.edf[g] = out.rss[g] = out.tss[g] = NaN;
        if (out.residuals.size())
            out.residuals.segment(start, m).setConstant(NaN);
        return;
    }
    // A^-1 = M'M with M = L^-1, L the Cholesky factor.
    const Square M = llt.matrixL().solve(Square::Identity(k, k));
    const Square inverse = M.transpose() * M;
    const Column coef = llt.solve(rhs);
    out.coef.row(g) = coef.transpose();
    Eigen::Map<RowMatrix>(out.inverse.row(g).data(), k, k) = inverse;
    out.edf[g] = inverse.cwiseProduct(G).sum(); // trace(A^-1 G), G symmetric
    // A second pass: the residuals and the sums of squares about the fit and the mean.
    const double mean = weighted_sum / total;
    double rss = 0.0, tss = 0.0;
    for (Index i = 0; i < m; ++i) {
        row(i, phi);
        const double wi = w ? w[start + i] : 1.0, yi = y[start + i];
        const double r = yi - phi.dot(coef);
        rss += wi * r * r;
        tss += wi * (yi - mean) * (yi - mean);
        if (out.residuals.size())
            out.residuals[start + i] = r;
    }
    out.rss[g] = rss;
    out.tss[g] = tss;
}

} // namespace

GroupCounts count_groups(const Eigen::Ref<const RowMatrix>& X, const Eigen::Ref<const VectorXd>& y,
                         const Eigen::Ref<const VectorXd>& w,
                         const Eigen::Ref<const CodeVector>& codes, Index n_groups) {
    GroupCounts out;
    out.counts.setZero(n_groups);
    std::int64_t* counts = out.counts.data();
    const Input in(X, y, w);
    bool in_order = true, in_range = true;
    std::int64_t last = 0;
    for (Index i = 0; i < y.size(); ++i) {
        const std::int64_t code = codes[i];
        in_range &= code < n_groups;
        const bool used = in.used(code, i) & in_range;
        in_order &= used & (code >= last);
        last = code;
        if (used)
            ++counts[code];
        out.used += used;
    }
    if (!in_range)
        throw std::invalid_argument("codes must be below n_groups");
    out.in_order = in_order;
    return out;
}

void sort_by_group(const Eigen::Ref<const RowMatrix>& X, const Eigen::Ref<const VectorXd>& y,
                   const Eigen::Ref<const VectorXd>& w, const Eigen::Ref<const CodeVector>& codes,
                   const GroupCounts& counts, double* X_out, double* y_out, double* w_out,
                   std::int64_t* rows_out) {
    // Each used sample's row to the next free place of its group (a counting sort, stable).
    // Only the rows are scattered: one stream of writes keeps a line per group in the cache,
    // where the values' streams too would not.
    const Index n_groups = counts.counts.size(), d = X.cols();
    CodeVector next(n_groups);
    std::int64_t start = 0;
    for (Index g = 0; g < n_groups; ++g) {
        next[g] = start;
        start += counts.counts[g];
    }
    const Input in(X, y, w);
    const Index n = y.size();
    if (counts.used == n) // every sample used: the codes alone tell the places
        for (Index i = 0; i < n; ++i)
            rows_out[next[codes[i]]++] = i;
    else
        for (Index i = 0; i < n; ++i)
            if (in.used(codes[i], i))
                rows_out[next[codes[i]]++] = i;
    // Then the values gathered in that order, one array at a time.
    const Index used = counts.used;
    gather(in.y, 1, 1, rows_out, used, y_out);
    for (Index j = 0; j < d; ++j)
        gather(in.X + j, in.stride, d, rows_out, used, X_out + j);
    if (in.w)
        gather(in.w, 1, 1, rows_out, used, w_out);
}

GroupRanges group_ranges(const Eigen::Ref<const RowMatrix>& values,
                         const Eigen::Ref<const CodeVector>& starts,
                         const Eigen::Ref<const CodeVector>& counts) {
    const Index G = counts.size(), d = values.cols(), stride = values.outerStride();
    GroupRanges out;
    out.low.setConstant(G, d, NaN);
    out.high.setConstant(G, d, NaN);
    for (Index g = 0; g < G; ++g) {
        if (!counts[g])
            continue;
        for (Index j = 0; j < d; ++j) {
            const double* v = values.data() + starts[g] * stride + j;
            // LANES running extremes, independent of each other, so that the comparisons
            // of one group overlap rather than wait for one another.
            Lanes low = Lanes::Constant(v[0]), high = low;
            Index i = 0;
            for (; i + LANES <= counts[g]; i += LANES)
                for (Index l = 0; l < LANES; ++l) {
                    low[l] = std::min(low[l], v[(i + l) * stride]);
                    high[l] = std::max(high[l], v[(i + l) * stride]);
                }
            for (; i < counts[g]; ++i) {
                low[0] = std::min(low[0], v[i * stride]);
                high[0] = std::max(high[0], v[i * stride]);
            }
            out.low(g, j) = low.minCoeff();
            out.high(g, j) = high.maxCoeff();
        }
    }
    return out;
}

NormalFits normal_fits(const Eigen::Ref<const MatrixXd>& Phi, const Eigen::Ref<const VectorXd>* y,
                       const Eigen::Ref<const VectorXd>& w, const std::vector<Index>& offsets,
                       const MatrixXd& S, double margin, bool residuals) {
    const Index G = static_cast<Index>(offsets.size()) - 1, k = Phi.cols();
    NormalFits out;
    out.trace.resize(G);
    out.certain.resize(G);
    if (y) {
        out.coef.resize(G, k);
        out.inverse.resize(G, k * k);
        out.edf.resize(G);
        out.rss.resize(G);
        out.tss.resize(G);
        out.residuals.resize(residuals ? Phi.rows() : 0);
    }
    const double* yp = y ? y->data() : nullptr;
    const double* wp = w.size() ? w.data() : nullptr;
    auto fit_all = [&](auto columns) {
        constexpr int K = decltype(columns)::value;
        for (Index g = 0; g < G; ++g)
            fit_group<K>(Phi, yp, wp, offsets[g], offsets[g + 1] - offsets[g], S, margin, g, out);
    };
    if (!with_fixed_columns(k, fit_all))
        fit_all(std::integral_constant<int, Eigen::Dynamic>());
    return out;
}

} // namespace zarn::robust
