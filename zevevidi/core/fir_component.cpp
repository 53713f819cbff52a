#include "zevevidi/core/fir_component.h"

std::shared_ptr<const FIRComponent>
FIRComponent::componentWithProtocol(FIRProtocol protocol, FIRComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), FIRInstantiationTimingLazy,
                               std::move(creationBlock));
}

std::shared_ptr<const FIRComponent>
FIRComponent::componentWithProtocol(FIRProtocol protocol,
                                    FIRInstantiationTiming instantiationTiming,
                                    FIRComponentCreationBlock creationBlock) {
  return std::make_shared<const FIRComponent>(std::move(protocol), instantiationTiming,
                                              std::move(creationBlock));
}
