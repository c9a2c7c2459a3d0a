#include "platform/media/virtual_studio.h"

#include "platform/media_api/media_components.h"
#include "platform/media/studio.h"

namespace quellvox {

void RegisterVirtualStudio() {
  RegisterClassFactory(kClsidDeviceEnumerator, &studio::CreateDeviceEnumerator);
  RegisterClassFactory(kClsidTitleEngineList, &studio::CreateTitleEngineList);
  RegisterClassFactory(kClsidTitleTarget, &studio::CreateTitleTarget);
}

void ShutdownVirtualStudio() {
  std::shared_ptr<studio::Studio> current = studio::CurrentStudio();
  current->WriteRecordings();
  studio::DropStudio();
}

}  // namespace quellvox
