#include "app/embedded_skin.h"

#include "ui/skin_archive.h"

namespace snapsave::app {

bool LoadEmbeddedSkin(QString* error) {
  return ui::SkinArchive::Current().LoadZip(EmbeddedSkinZip(), error);
}

}  // namespace snapsave::app
