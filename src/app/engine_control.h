// The engine operations the host drives, as an interface so the host's
// decisions can be tested against a scripted engine. `EngineControlOf`
// forwards to the real `Engine`.
#pragma once

#include "config/settings.h"
#include "engine/engine.h"

namespace kp {

class EngineControl {
 public:
  virtual ~EngineControl() = default;
  virtual void ApplySettings(const Settings& settings) = 0;
  virtual void SetReplayEnabled(bool on) = 0;
  virtual bool ReplayEnabled() const = 0;
  virtual bool RequestSave() = 0;
  virtual Engine::Status GetStatus() const = 0;
  virtual void Shutdown() = 0;
};

class EngineControlOf : public EngineControl {
 public:
  explicit EngineControlOf(Engine& engine) : engine_(engine) {}
  void ApplySettings(const Settings& settings) override { engine_.ApplySettings(settings); }
  void SetReplayEnabled(bool on) override { engine_.SetReplayEnabled(on); }
  bool ReplayEnabled() const override { return engine_.ReplayEnabled(); }
  bool RequestSave() override { return engine_.RequestSave(); }
  Engine::Status GetStatus() const override { return engine_.GetStatus(); }
  void Shutdown() override { engine_.Shutdown(); }

 private:
  Engine& engine_;
};

}  // namespace kp
