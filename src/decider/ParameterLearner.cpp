#include "ParameterLearner.h"

#include "Matrix3.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr float kStillDistanceSq = 33.0f;
constexpr float kMinSphereRadius = 7.04f;
constexpr float kDegeneratePlaneSq = 0.0001f;
constexpr float kHullShrink = 4.0f;
constexpr float kCollinearAngle = 1e-6f;
constexpr float kTurnEpsilon = 1e-6f;
constexpr float kGridAngleStep = 0.2617994f;  // 15 degrees
constexpr int kGridAngles = 24;
constexpr int kGridRadii = 16;
constexpr float kFloatMax = std::numeric_limits<float>::max();

float3 sub(const float3 &a, const float3 &b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
float dot(const float3 &a, const float3 &b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
float3 cross(const float3 &a, const float3 &b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float3 scale(const float3 &a, float s)
{
    return {a.x * s, a.y * s, a.z * s};
}
float distSq(const float3 &a, const float3 &b)
{
    return dot(sub(a, b), sub(a, b));
}

// Sort key that keeps the order total when an angle is NaN (garbage input must not break sort).
float sortableAngle(float a)
{
    return std::isnan(a) ? std::numeric_limits<float>::infinity() : a;
}
}  // namespace

ParameterLearner::ParameterLearner()
{
    resetGeometry();
}

void ParameterLearner::resetGeometry()
{
    m_sphereCenter = float3();
    m_sphereRadius = 1.f;
    m_center = float3();
    m_innerRadius = 1.f;
    m_normal = {0.f, 0.f, 1.f};
    m_cu = m_cv = 0.f;
    const float identity[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
    std::copy(identity, identity + 9, m_basis);
    std::copy(identity, identity + 9, m_inverse);
    m_wMin = m_wMax = 0.f;
    m_hullCount = 0;
    m_random = kRandomSeed;
}

void ParameterLearner::beginLearning(const EllipticalParameters *oldParameters)
{
    m_oldParameters = oldParameters;
    resetGeometry();
    setStage(Stage_Collect);
}

void ParameterLearner::stop()
{
    m_stage = Stage_Rejected;
}

void ParameterLearner::setStage(LearnerStage stage)
{
    m_stage = stage;
    switch (stage) {
    case Stage_Collect:
        m_scratch.emplace<CollectState>();
        break;
    case Stage_SphereFit:
        m_scratch.emplace<SphereFitState>();
        break;
    case Stage_PlaneFit:
        m_scratch.emplace<PlaneFitState>();
        break;
    case Stage_Project:
        m_scratch.emplace<ProjectState>();
        break;
    case Stage_Hull:
        m_scratch.emplace<HullState>();
        break;
    case Stage_InnerCircle:
        m_scratch.emplace<InnerCircleState>();
        break;
    case Stage_Evaluate:
        m_scratch.emplace<EvaluateState>();
        break;
    case Stage_Accepted:
    case Stage_Rejected:
        m_scratch.emplace<std::monostate>();
        break;
    }
}

int ParameterLearner::storedCount() const
{
    if (const auto *c = std::get_if<CollectState>(&m_scratch))
        return c->stored;
    return m_stage == Stage_Collect ? 0 : kSampleCount;
}

uint32_t ParameterLearner::nextRandom()
{
    uint32_t x = m_random;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    m_random = x;
    return x;
}

ParameterLearner::LearnerStepResult ParameterLearner::step(const Sample &sample, const uint8_t &abortFlag)
{
    m_lastCollectResult = 0;
    LearnerStepResult result;
    do {
        result = stepStage(sample);
    } while (result == LearnerStep_Continue && abortFlag == 0);
    return result;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepStage(const Sample &sample)
{
    switch (m_stage) {
    case Stage_Collect:
        return stepCollect(sample);
    case Stage_SphereFit:
        return stepSphereFit();
    case Stage_PlaneFit:
        return stepPlaneFit();
    case Stage_Project:
        return stepProject();
    case Stage_Hull:
        return stepHull();
    case Stage_InnerCircle:
        return stepInnerCircle();
    case Stage_Evaluate:
        return stepEvaluate();
    case Stage_Accepted:
    case Stage_Rejected:
        break;
    }
    return LearnerStep_Finished;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepCollect(const Sample &sample)
{
    auto &st = std::get<CollectState>(m_scratch);
    if (!sample.valid)
        return LearnerStep_NeedSample;
    const float3 s{sample.x, sample.y, sample.z};
    if (st.stored > 0) {
        if (distSq(s, m_samples[st.stored - 1]) < kStillDistanceSq) {
            m_lastCollectResult = 2;
            ++st.still;
            st.streak = std::min(st.streak - 1, 0);
            return LearnerStep_NeedSample;
        }
        m_lastCollectResult = 1;
        ++st.moving;
        st.streak = std::max(st.streak + 1, 0);
        // After two or more still samples the first moving one may still be settling.
        if (st.streak < 1)
            return LearnerStep_NeedSample;
    }
    m_lastCollectResult = 1;
    m_samples[st.stored++] = s;
    if (st.stored == kSampleCount) {
        setStage(Stage_SphereFit);
        return LearnerStep_Continue;
    }
    return LearnerStep_NeedSample;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepSphereFit()
{
    auto &st = std::get<SphereFitState>(m_scratch);
    const int n = kSampleCount;
    switch (st.candidate) {
    case 0: {  // axis-aligned bounding box
        float3 lo = m_samples[0], hi = m_samples[0];
        for (int i = 1; i < n; ++i) {
            const float3 &s = m_samples[i];
            lo = {std::min(lo.x, s.x), std::min(lo.y, s.y), std::min(lo.z, s.z)};
            hi = {std::max(hi.x, s.x), std::max(hi.y, s.y), std::max(hi.z, s.z)};
        }
        const float3 c = scale({lo.x + hi.x, lo.y + hi.y, lo.z + hi.z}, 0.5f);
        st.spheres[0] = {c, std::sqrt(distSq(c, lo))};
        break;
    }
    case 1: {  // centroid
        float3 sum;
        for (int i = 0; i < n; ++i)
            sum = {sum.x + m_samples[i].x, sum.y + m_samples[i].y, sum.z + m_samples[i].z};
        const float3 c = scale(sum, 1.f / float(n));
        float r2 = 0.f;
        for (int i = 0; i < n; ++i)
            r2 = std::max(r2, distSq(c, m_samples[i]));
        st.spheres[1] = {c, std::sqrt(r2)};
        break;
    }
    case 2: {  // Ritter: farthest pair, then grow over the outliers
        auto farthestFrom = [&](const float3 &from) {
            int best = 0;
            float bestD = -1.f;
            for (int i = 0; i < n; ++i) {
                const float d = distSq(from, m_samples[i]);
                if (d > bestD) {
                    bestD = d;
                    best = i;
                }
            }
            return best;
        };
        const float3 p = m_samples[farthestFrom(m_samples[0])];
        const float3 q = m_samples[farthestFrom(p)];
        float3 c = scale({p.x + q.x, p.y + q.y, p.z + q.z}, 0.5f);
        float r = std::sqrt(distSq(p, q)) * 0.5f;
        for (int i = 0; i < n; ++i) {
            const float d = std::sqrt(distSq(c, m_samples[i]));
            if (d > r) {
                const float rOld = r;
                r = r + (d - r) * 0.5f;
                const float3 dir = scale(sub(m_samples[i], c), 1.f / d);
                c = {c.x + dir.x * (d - rOld) * 0.5f, c.y + dir.y * (d - rOld) * 0.5f, c.z + dir.z * (d - rOld) * 0.5f};
            }
        }
        st.spheres[2] = {c, r};
        break;
    }
    default: {
        int best = 0;
        for (int i = 1; i < 3; ++i) {
            if (st.spheres[i].radius < st.spheres[best].radius)
                best = i;
        }
        m_sphereCenter = st.spheres[best].center;
        m_sphereRadius = st.spheres[best].radius;
        if (std::isnan(m_sphereRadius) || m_sphereRadius < kMinSphereRadius) {
            setStage(Stage_Rejected);
            return LearnerStep_Finished;
        }
        setStage(Stage_PlaneFit);
        auto &pf = std::get<PlaneFitState>(m_scratch);
        for (int k = 0; k < kCandidatePlanes; ++k) {
            const float3 a = sub(m_samples[nextRandom() & 511u], m_sphereCenter);
            const float3 b = sub(m_samples[nextRandom() & 511u], m_sphereCenter);
            const float3 c = sub(m_samples[nextRandom() & 511u], m_sphereCenter);
            const float3 nrm = cross(sub(a, b), sub(b, c));
            const float len2 = dot(nrm, nrm);
            if (len2 >= kDegeneratePlaneSq) {
                pf.planes[k] = scale(nrm, 1.f / std::sqrt(len2));
            } else {
                pf.degenerate[k] = true;
            }
        }
        for (int k = 0; k < kScoringPoints; ++k)
            pf.points[k] = sub(m_samples[nextRandom() & 511u], m_sphereCenter);
        pf.bestPlane = {0.f, 0.f, 1.f};
        pf.bestScore = kFloatMax;
        return LearnerStep_Continue;
    }
    }
    ++st.candidate;
    return LearnerStep_Continue;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepPlaneFit()
{
    auto &st = std::get<PlaneFitState>(m_scratch);
    if (st.candidate < kCandidatePlanes) {
        const int k = st.candidate++;
        if (!st.degenerate[k]) {
            float score = 0.f;
            for (const float3 &p : st.points) {
                const float d = dot(st.planes[k], p);
                score += d * d;
            }
            if (score < st.bestScore) {
                st.bestScore = score;
                st.bestPlane = st.planes[k];
            }
        }
        return LearnerStep_Continue;
    }
    finishPlane(st.bestPlane);
    setStage(Stage_Project);
    return LearnerStep_Continue;
}

void ParameterLearner::finishPlane(float3 n)
{
    if (n.x + n.y + n.z < 0.f)
        n = scale(n, -1.f);
    m_normal = n;
    // u = n x (1, 1, 1), normalised. A normal (nearly) parallel to (1, 1, 1) leaves nothing to
    // normalise; then cross with the coordinate axis least aligned with the normal instead.
    const float inv3 = 1.f / std::sqrt(3.f);
    float3 u{(n.y - n.z) * inv3, (n.z - n.x) * inv3, (n.x - n.y) * inv3};
    float len2 = dot(u, u);
    if (!(len2 >= 1e-6f)) {
        const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
        float3 axis{1.f, 0.f, 0.f};
        if (ay < ax && ay <= az)
            axis = {0.f, 1.f, 0.f};
        else if (az < ax && az < ay)
            axis = {0.f, 0.f, 1.f};
        u = cross(n, axis);
        len2 = dot(u, u);
    }
    u = len2 > 0.f ? scale(u, 1.f / std::sqrt(len2)) : float3{1.f, 0.f, 0.f};
    const float3 v = cross(u, n);
    const float3 w = scale(n, -1.f);
    const Matrix3 m = Matrix3::fromColumns(u, v, w);
    std::copy(m.m, m.m + 9, m_basis);
    Matrix3 inv;
    if (!m.inverse(&inv))
        inv = m.transposed();
    std::copy(inv.m, inv.m + 9, m_inverse);
}

ParameterLearner::LearnerStepResult ParameterLearner::stepProject()
{
    auto &st = std::get<ProjectState>(m_scratch);
    if (st.index < kSampleCount) {
        const int i = st.index++;
        const float3 d = sub(m_samples[i], m_sphereCenter);
        const float3 u{m_basis[0], m_basis[3], m_basis[6]};
        const float3 v{m_basis[1], m_basis[4], m_basis[7]};
        const float3 w{m_basis[2], m_basis[5], m_basis[8]};
        m_projected[i] = {dot(d, u), dot(d, v)};
        const float dw = dot(d, w);
        m_wMax = std::max(m_wMax, dw);
        m_wMin = std::min(m_wMin, dw);
        return LearnerStep_Continue;
    }
    setStage(Stage_Hull);
    return LearnerStep_Continue;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepHull()
{
    auto &st = std::get<HullState>(m_scratch);
    const int n = kSampleCount;
    auto pt = [&](int entry) { return m_projected[st.table[entry].point]; };
    auto distFromPivotSq = [&](int entry) {
        const float2 a = pt(entry), p = pt(0);
        return (a.x - p.x) * (a.x - p.x) + (a.y - p.y) * (a.y - p.y);
    };
    switch (st.step) {
    case HullState::Start:
        m_hullCount = 0;
        if (n < 3) {
            st.step = HullState::Shrink;
            break;
        }
        for (int i = 0; i < n; ++i)
            st.table[i] = HullEntry{uint16_t(i), 0, 0.f};
        st.count = n;
        st.step = HullState::Pivot;
        break;
    case HullState::Pivot: {
        int best = 0;
        for (int i = 1; i < st.count; ++i) {
            const float2 a = pt(i), b = pt(best);
            if (a.y < b.y || (a.y == b.y && a.x < b.x))
                best = i;
        }
        std::swap(st.table[0], st.table[best]);
        st.table[0].angle = 0.f;
        st.cursor = 1;
        st.step = HullState::Angles;
        break;
    }
    case HullState::Angles:
        if (st.cursor < st.count) {
            const float2 a = pt(st.cursor), p = pt(0);
            st.table[st.cursor].angle = std::atan2(a.y - p.y, a.x - p.x);
            ++st.cursor;
        } else {
            st.step = HullState::Sort;
        }
        break;
    case HullState::Sort:
        // The point index breaks ties so the order (and the learned block) is reproducible.
        std::sort(st.table + 1, st.table + st.count, [](const HullEntry &a, const HullEntry &b) {
            const float ka = sortableAngle(a.angle), kb = sortableAngle(b.angle);
            if (ka != kb)
                return ka < kb;
            return a.point < b.point;
        });
        st.cursor = 1;
        st.step = HullState::Collinear;
        break;
    case HullState::Collinear:
        if (st.cursor <= st.count - 2) {
            const int a = st.cursor++;
            if (std::fabs(st.table[a].angle - st.table[a + 1].angle) < kCollinearAngle) {
                if (distFromPivotSq(a + 1) > distFromPivotSq(a))
                    st.table[a].deleted = 1;
                else
                    st.table[a + 1].deleted = 1;
            }
        } else {
            st.step = HullState::Compact;
        }
        break;
    case HullState::Compact: {
        int out = 0;
        for (int i = 0; i < st.count; ++i) {
            if (!st.table[i].deleted)
                st.table[out++] = st.table[i];
        }
        st.count = out;
        if (out < 3) {
            m_hullCount = 0;
            st.step = HullState::Shrink;
            break;
        }
        for (int i = 0; i < 3; ++i)
            m_hull[i] = pt(i);
        m_hullCount = 3;
        st.cursor = 3;
        st.step = HullState::Scan;
        break;
    }
    case HullState::Scan:
        if (st.cursor < st.count) {
            const float2 p = pt(st.cursor++);
            while (m_hullCount > 1) {
                const float2 a = m_hull[m_hullCount - 2], b = m_hull[m_hullCount - 1];
                const float turn = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
                if (turn > kTurnEpsilon)
                    break;
                --m_hullCount;
            }
            m_hull[m_hullCount++] = p;
        } else {
            st.step = HullState::Shrink;
        }
        break;
    case HullState::Shrink: {
        const float f = (m_sphereRadius - kHullShrink) / m_sphereRadius;
        for (int i = 0; i < m_hullCount; ++i)
            m_hull[i] = {m_hull[i].x * f, m_hull[i].y * f};
        setStage(Stage_InnerCircle);
        break;
    }
    }
    return LearnerStep_Continue;
}

bool ParameterLearner::insideHull(float x, float y) const
{
    if (m_hullCount <= 2)
        return false;
    int sign = 0;
    for (int i = 0; i < m_hullCount; ++i) {
        const bool closing = i == m_hullCount - 1;
        const float2 a = m_hull[i];
        const float2 b = m_hull[closing ? 0 : i + 1];
        const float c = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
        if (std::fabs(c) <= kTurnEpsilon) {
            if (closing)
                return true;
            continue;
        }
        const int s = c > 0.f ? 1 : -1;
        if (sign == 0)
            sign = s;
        else if (s != sign)
            return false;
    }
    return true;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepInnerCircle()
{
    auto &st = std::get<InnerCircleState>(m_scratch);
    switch (st.step) {
    case InnerCircleState::PassSetup: {
        if (st.pass == 0)
            m_innerRadius = m_sphereRadius;
        const float stepSize = std::pow(0.70710677f * 0.0625f * m_sphereRadius, float(st.pass + 1));
        if (st.pass == 2 || stepSize < 0.025f) {
            const float3 u{m_basis[0], m_basis[3], m_basis[6]};
            const float3 v{m_basis[1], m_basis[4], m_basis[7]};
            m_center = {m_sphereCenter.x + m_cu * u.x + m_cv * v.x, m_sphereCenter.y + m_cu * u.y + m_cv * v.y,
                        m_sphereCenter.z + m_cu * u.z + m_cv * v.z};
            setStage(Stage_Evaluate);
            return LearnerStep_Continue;
        }
        st.gridCenter = {m_cu, m_cv};
        st.candidates[0] = {m_cu, m_cv, kFloatMax};
        int k = 1;
        for (int i = 0; i < kGridAngles; ++i) {
            const float a = float(i) * kGridAngleStep;
            const float ca = std::cos(a), sa = std::sin(a);
            for (int j = 1; j <= kGridRadii; ++j) {
                const float r = float(j) * stepSize;
                st.candidates[k++] = {m_cu + r * ca, m_cv + r * sa, kFloatMax};
            }
        }
        st.candidate = 0;
        st.sample = 0;
        st.step = InnerCircleState::Inside;
        break;
    }
    case InnerCircleState::Inside:
        if (st.candidate < kGridCandidates) {
            GridCandidate &c = st.candidates[st.candidate++];
            if (!insideHull(c.x, c.y))
                c.distSq = 0.f;
        } else {
            st.step = InnerCircleState::Distances;
        }
        break;
    case InnerCircleState::Distances:
        if (st.sample < kSampleCount) {
            // m_projected holds each sample relative to the sphere center, in (u, v).
            const float2 p = m_projected[st.sample++];
            for (GridCandidate &c : st.candidates) {
                const float d = (c.x - p.x) * (c.x - p.x) + (c.y - p.y) * (c.y - p.y);
                if (d < c.distSq)
                    c.distSq = d;
            }
        } else {
            st.step = InnerCircleState::Choose;
        }
        break;
    case InnerCircleState::Choose: {
        int best = 0;
        for (int i = 1; i < kGridCandidates; ++i) {
            if (st.candidates[i].distSq > st.candidates[best].distSq)
                best = i;
        }
        m_cu = st.candidates[best].x;
        m_cv = st.candidates[best].y;
        m_innerRadius = std::sqrt(st.candidates[best].distSq);
        ++st.pass;
        st.step = InnerCircleState::PassSetup;
        break;
    }
    }
    return LearnerStep_Continue;
}

ParameterLearner::LearnerStepResult ParameterLearner::stepEvaluate()
{
    auto &st = std::get<EvaluateState>(m_scratch);
    if (st.sample == 0) {
        m_evaluator.reset();
        if (st.pass == 0)
            m_evaluator.setParameters(buildParameters());
        else
            m_evaluator.setParameters(*m_oldParameters);
    }
    if (st.sample < kSampleCount) {
        m_evaluator.addSample(m_samples[st.sample++]);
        if (m_evaluator.lastResult() == Decider::AddResult_Pulse)
            ++st.pulses[st.pass];
        if (m_evaluator.badPoint())
            ++st.bad[st.pass];
        st.zError[st.pass] += std::fabs(m_evaluator.projected().z);
        if (st.sample < kSampleCount)
            return LearnerStep_Continue;
        ++st.pass;
        if (st.pass == 1 && m_oldParameters) {
            st.sample = 0;
            return LearnerStep_Continue;
        }
    }

    if (st.pulses[0] == 0) {
        qDebug() << "AutoCal rejection due to no detected cycles";
        setStage(Stage_Rejected);
        return LearnerStep_Finished;
    }
    if (!m_oldParameters) {
        setStage(Stage_Accepted);
        return LearnerStep_Finished;
    }
    const float oldInner = m_oldParameters->innerRadius;
    int votes = 0;
    votes += st.zError[0] < st.zError[1] ? 1 : 0;
    votes += m_innerRadius > oldInner ? 1 : 0;
    votes += st.bad[0] <= st.bad[1] ? 1 : 0;
    const bool accept = votes >= 2;
    qDebug().noquote().nospace() << (accept ? "Favorable" : "Unfavorable") << ' ' << "AutoCal calibration comparison: ["
                                 << " badPointsOld:" << st.bad[1] << " badPointsNew:" << st.bad[0]
                                 << " zErrorOld:" << st.zError[1] << " zErrorNew:" << st.zError[0]
                                 << " innerRadOld:" << oldInner << " innerRadNew:" << m_innerRadius << "]";
    setStage(accept ? Stage_Accepted : Stage_Rejected);
    return LearnerStep_Finished;
}

EllipticalParameters ParameterLearner::buildParameters() const
{
    EllipticalParameters p;
    p.centerX = m_center.x;
    p.centerY = m_center.y;
    p.centerZ = m_center.z;
    p.normalX = m_normal.x;
    p.normalY = m_normal.y;
    p.normalZ = m_normal.z;
    p.innerRadius = m_innerRadius;
    std::copy(m_basis, m_basis + 9, p.basis);
    p.project(m_sphereCenter.x - m_center.x, m_sphereCenter.y - m_center.y, m_sphereCenter.z - m_center.z,
              &p.sphereOffsetU, &p.sphereOffsetV, &p.sphereOffsetW);
    p.outerRadius = m_sphereRadius;
    p.zMid = (m_wMin + m_wMax) * 0.5f;
    const float width = m_wMax - m_wMin;
    p.zScale = width > 0.002f ? 1.f / (width * 0.5f) : 1.0f;
    return p;
}
