#pragma once
// TLWMeasurementWritePath: the write path's collaborators wired as the engine wires them:
// the user-property pipeline, the event pipeline over it (which also takes its error
// events), and bundlers over both. The engine builds its own with it at start-up; so does
// anything else that needs the same parts around one database (tests, benchmarks).
//
// Thread-safety: create and makeBundler may run on any thread; what they make runs on the
// scheduler's worker queue as each collaborator documents.
//
// Failure: a collaborator that cannot be made (a required dependency missing) is null,
// logged by its own factory; the ones after it are null too.

#include <memory>

#include "measurement/engine/TLWBundler.h"
#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"

struct TLWMeasurementWritePath {
  // The event pipeline's; `userProperties` is ignored: create makes that pipeline from the
  // same dependencies.
  using Dependencies = TLWEventPipeline::Dependencies;
  // What a bundler reads besides the write path itself.
  struct BundlerDependencies {
    std::shared_ptr<TLWRemoteConfig> remoteConfig;    // required
    std::weak_ptr<TLWBundlerHost> host;               // null: nothing to notify
    std::shared_ptr<TLWConsentSettingsUtil> consent;  // null: no consent stamp or log line
    std::shared_ptr<TLWIdentity> identity;            // null: app ID from the bundle identifier
    std::shared_ptr<TLWAudienceEvaluating> audience;  // null: a TLWAudience over the database,
                                                      // installed as the remote configuration's sink
  };

  static TLWMeasurementWritePath create(Dependencies dependencies);
  // A bundler over this write path; null when it cannot be made.
  std::shared_ptr<TLWBundler> makeBundler(BundlerDependencies bundlerDependencies) const;

  Dependencies dependencies;
  std::shared_ptr<TLWUserPropertyPipeline> userProperties;
  std::shared_ptr<TLWEventPipeline> eventPipeline;
};
