#pragma once

#include "common/FloatVectors.h"
#include "EllipticalDecider.h"
#include "EllipticalParameters.h"

#include <cstdint>
#include <variant>

// Learns EllipticalParameters from 512 buffered samples, then replays them to accept or reject
// the result. Every stage works in bounded pieces so a caller can abort between pieces, and all
// storage is fixed: learning allocates nothing.
class ParameterLearner
{
public:
    enum LearnerStage {
        Stage_Collect,
        Stage_SphereFit,
        Stage_PlaneFit,
        Stage_Project,
        Stage_Hull,
        Stage_InnerCircle,
        Stage_Evaluate,
        Stage_Accepted,
        Stage_Rejected,
    };
    enum LearnerStepResult {
        LearnerStep_Finished = 0,  // now Stage_Accepted or Stage_Rejected
        LearnerStep_NeedSample = 1,
        LearnerStep_Continue = 2,  // more work without a new sample (returned when aborted)
    };
    struct Sample {
        float x = 0.f, y = 0.f, z = 0.f;
        uint8_t valid = 1;
    };

    static constexpr int kSampleCount = 512;
    static constexpr int kScoringPoints = 24;
    static constexpr int kCandidatePlanes = 16;
    static constexpr int kGridCandidates = 385;
    static constexpr uint32_t kRandomSeed = 776740377u;  // 0x2E4C1E19

    ParameterLearner();

    // oldParameters (may be null) must stay valid and unchanged while the run lasts.
    void beginLearning(const EllipticalParameters *oldParameters);
    void stop();
    LearnerStepResult step(const Sample &sample, const uint8_t &abortFlag);

    LearnerStage stage() const { return m_stage; }
    bool busy() const { return m_stage != Stage_Accepted && m_stage != Stage_Rejected; }
    EllipticalParameters buildParameters() const;
    const float2 *hullPoints() const { return m_hull; }
    int hullPointCount() const { return m_hullCount; }
    float2 centerInPlane() const { return {m_cu, m_cv}; }
    float innerRadius() const { return m_innerRadius; }
    float sphereRadius() const { return m_sphereRadius; }
    // 0 before any collection step, 1 = stored or moving, 2 = ignored as still.
    int lastCollectResult() const { return m_lastCollectResult; }
    int storedCount() const;

private:
    struct Sphere {
        float3 center;
        float radius = 0.f;
    };
    struct CollectState {
        int32_t stored = 0, moving = 0, still = 0, streak = 0;
    };
    struct SphereFitState {
        int candidate = 0;
        Sphere spheres[3];
    };
    struct PlaneFitState {
        float3 points[kScoringPoints];
        float3 planes[kCandidatePlanes];
        bool degenerate[kCandidatePlanes] = {};
        int candidate = 0;
        float bestScore = 0.f;
        float3 bestPlane;
    };
    struct ProjectState {
        int index = 0;
    };
    struct HullEntry {
        uint16_t point = 0;
        uint8_t deleted = 0;
        float angle = 0.f;
    };
    struct HullState {
        enum Step { Start, Pivot, Angles, Sort, Collinear, Compact, Scan, Shrink } step = Start;
        int count = 0;   // live entries in the table
        int cursor = 0;  // entry being worked on
        HullEntry table[kSampleCount];
    };
    struct GridCandidate {
        float x = 0.f, y = 0.f, distSq = 0.f;
    };
    struct InnerCircleState {
        enum Step { PassSetup, Inside, Distances, Choose } step = PassSetup;
        int pass = 0;
        int candidate = 0;
        int sample = 0;
        float2 gridCenter;
        GridCandidate candidates[kGridCandidates];
    };
    struct EvaluateState {
        int sample = 0;
        int pass = 0;
        uint32_t bad[2] = {0, 0};
        uint32_t pulses[2] = {0, 0};
        float zError[2] = {0.f, 0.f};
    };
    using Scratch = std::variant<std::monostate, CollectState, SphereFitState, PlaneFitState, ProjectState, HullState,
                                 InnerCircleState, EvaluateState>;

    void setStage(LearnerStage stage);
    LearnerStepResult stepStage(const Sample &sample);
    LearnerStepResult stepCollect(const Sample &sample);
    LearnerStepResult stepSphereFit();
    LearnerStepResult stepPlaneFit();
    LearnerStepResult stepProject();
    LearnerStepResult stepHull();
    LearnerStepResult stepInnerCircle();
    LearnerStepResult stepEvaluate();
    void resetGeometry();
    uint32_t nextRandom();
    float3 stored(int i) const { return m_samples[i]; }
    void finishPlane(float3 normal);
    bool insideHull(float x, float y) const;

    LearnerStage m_stage = Stage_Rejected;
    const EllipticalParameters *m_oldParameters = nullptr;
    EllipticalDecider m_evaluator;
    int m_lastCollectResult = 0;
    float3 m_samples[kSampleCount];
    float2 m_projected[kSampleCount];

    float3 m_sphereCenter;
    float m_sphereRadius = 1.f;
    float3 m_center;
    float m_innerRadius = 1.f;
    float3 m_normal{0.f, 0.f, 1.f};
    uint32_t m_random = kRandomSeed;
    int m_hullCount = 0;
    float2 m_hull[kSampleCount];
    float m_basis[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
    float m_inverse[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
    float m_cu = 0.f, m_cv = 0.f;
    float m_wMin = 0.f, m_wMax = 0.f;

    Scratch m_scratch;
};
