#pragma once
// Keys and mouse actions through the X server's XTest extension.

#include <memory>
#include <string>

#include "Output.h"
#include "X11Connection.h"

namespace jskeys {

class X11KeyOutput : public KeyStrokeOutput {
 public:
  // Null with `error` set when the server has no XTest.
  static std::unique_ptr<X11KeyOutput> Create(std::shared_ptr<X11Connection> x, std::string& error);
  void Flush() override;
  bool Broken() const override { return x_->Lost(); }
  const char* Gone() const override { return "the X display"; }

 protected:
  bool KeyDown(KeyId key) override;
  bool KeyUp(KeyId key) override;

 private:
  explicit X11KeyOutput(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {}
  bool Fake(KeyId key, bool down);

  std::shared_ptr<X11Connection> x_;
};

}  // namespace jskeys
