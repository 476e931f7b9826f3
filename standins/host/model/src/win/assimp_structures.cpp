// The out-of-line members of assimp's scene structures that the host's OBJ
// reader and the import walk use, for the Windows build, which reads no
// model through assimp and links no assimp library (Debian packages none
// for MinGW). The structures themselves come from assimp's headers; what
// these functions do is what the headers document: scenes, nodes and
// materials own what they point to, a material property is found by key,
// semantic and index, and the typed getters convert as described there.
#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cstring>

// ---- Scenes and nodes ---------------------------------------------------------

aiScene::aiScene()
    : mFlags(0),
      mRootNode(nullptr),
      mNumMeshes(0),
      mMeshes(nullptr),
      mNumMaterials(0),
      mMaterials(nullptr),
      mNumAnimations(0),
      mAnimations(nullptr),
      mNumTextures(0),
      mTextures(nullptr),
      mNumLights(0),
      mLights(nullptr),
      mNumCameras(0),
      mCameras(nullptr),
      mMetaData(nullptr),
      mName(),
      mNumSkeletons(0),
      mSkeletons(nullptr),
      mPrivate(nullptr) {}

namespace {

template <typename T>
void DeleteAll(T**& items, unsigned& count) {
  if (items != nullptr)
    for (unsigned i = 0; i < count; ++i) delete items[i];
  delete[] items;
  items = nullptr;
  count = 0;
}

}  // namespace

aiScene::~aiScene() {
  delete mRootNode;
  DeleteAll(mMeshes, mNumMeshes);
  DeleteAll(mMaterials, mNumMaterials);
  DeleteAll(mAnimations, mNumAnimations);
  DeleteAll(mTextures, mNumTextures);
  DeleteAll(mLights, mNumLights);
  DeleteAll(mCameras, mNumCameras);
  DeleteAll(mSkeletons, mNumSkeletons);
  delete mMetaData;
}

aiNode::aiNode()
    : mName(""),
      mParent(nullptr),
      mNumChildren(0),
      mChildren(nullptr),
      mNumMeshes(0),
      mMeshes(nullptr),
      mMetaData(nullptr) {}

aiNode::aiNode(const std::string& name)
    : mName(name),
      mParent(nullptr),
      mNumChildren(0),
      mChildren(nullptr),
      mNumMeshes(0),
      mMeshes(nullptr),
      mMetaData(nullptr) {}

aiNode::~aiNode() {
  // A node half made may hold null children.
  if (mChildren != nullptr)
    for (unsigned i = 0; i < mNumChildren; ++i) delete mChildren[i];
  delete[] mChildren;
  delete[] mMeshes;
  delete mMetaData;
}

// ---- Materials ------------------------------------------------------------------

namespace {

constexpr unsigned kFirstAllocation = 20;

const aiMaterialProperty* Find(const aiMaterial* material, const char* key, unsigned type, unsigned index) {
  if (material == nullptr || key == nullptr) return nullptr;
  for (unsigned i = 0; i < material->mNumProperties; ++i) {
    const aiMaterialProperty* p = material->mProperties[i];
    if (p != nullptr && p->mSemantic == type && p->mIndex == index && std::strcmp(p->mKey.data, key) == 0) return p;
  }
  return nullptr;
}

// The property's values as numbers of type T: floats, doubles and integers
// convert; a buffer is read as T's own bytes. Strings are not numbers here.
template <typename T>
aiReturn Numbers(const aiMaterialProperty* p, T* out, unsigned* max) {
  if (p == nullptr || out == nullptr) return AI_FAILURE;
  unsigned count = 0;
  switch (p->mType) {
    case aiPTI_Float: count = p->mDataLength / sizeof(float); break;
    case aiPTI_Double: count = p->mDataLength / sizeof(double); break;
    case aiPTI_Integer: count = p->mDataLength / sizeof(std::int32_t); break;
    case aiPTI_Buffer: count = p->mDataLength / sizeof(T); break;
    default: return AI_FAILURE;
  }
  if (max != nullptr) count = std::min(count, *max);
  for (unsigned i = 0; i < count; ++i) {
    switch (p->mType) {
      case aiPTI_Float: {
        float v;
        std::memcpy(&v, p->mData + i * sizeof v, sizeof v);
        out[i] = static_cast<T>(v);
        break;
      }
      case aiPTI_Double: {
        double v;
        std::memcpy(&v, p->mData + i * sizeof v, sizeof v);
        out[i] = static_cast<T>(v);
        break;
      }
      case aiPTI_Integer: {
        std::int32_t v;
        std::memcpy(&v, p->mData + i * sizeof v, sizeof v);
        out[i] = static_cast<T>(v);
        break;
      }
      default: std::memcpy(&out[i], p->mData + i * sizeof(T), sizeof(T)); break;
    }
  }
  if (max != nullptr) *max = count;
  return AI_SUCCESS;
}

}  // namespace

aiMaterial::aiMaterial()
    : mProperties(new aiMaterialProperty*[kFirstAllocation]()), mNumProperties(0), mNumAllocated(kFirstAllocation) {}

aiMaterial::~aiMaterial() {
  Clear();
  delete[] mProperties;
}

void aiMaterial::Clear() {
  for (unsigned i = 0; i < mNumProperties; ++i) {
    delete mProperties[i];
    mProperties[i] = nullptr;
  }
  mNumProperties = 0;
}

aiString aiMaterial::GetName() const {
  aiString name;
  Get(AI_MATKEY_NAME, name);
  return name;
}

// A property of the same key, semantic and index is replaced; a new one is
// appended.
aiReturn aiMaterial::AddBinaryProperty(const void* pInput, unsigned int pSizeInBytes, const char* pKey,
                                       unsigned int type, unsigned int index, aiPropertyTypeInfo pType) {
  if (pInput == nullptr || pKey == nullptr || pSizeInBytes == 0 || std::strlen(pKey) >= MAXLEN) return AI_FAILURE;
  auto* property = new aiMaterialProperty();
  property->mKey.Set(pKey);
  property->mSemantic = type;
  property->mIndex = index;
  property->mType = pType;
  property->mDataLength = pSizeInBytes;
  property->mData = new char[pSizeInBytes];
  std::memcpy(property->mData, pInput, pSizeInBytes);
  for (unsigned i = 0; i < mNumProperties; ++i) {
    aiMaterialProperty*& slot = mProperties[i];
    if (slot->mSemantic == type && slot->mIndex == index && std::strcmp(slot->mKey.data, pKey) == 0) {
      delete slot;
      slot = property;
      return AI_SUCCESS;
    }
  }
  if (mNumProperties == mNumAllocated) {
    const unsigned grown = mNumAllocated * 2;
    auto** properties = new aiMaterialProperty*[grown]();
    std::copy(mProperties, mProperties + mNumProperties, properties);
    delete[] mProperties;
    mProperties = properties;
    mNumAllocated = grown;
  }
  mProperties[mNumProperties++] = property;
  return AI_SUCCESS;
}

// A string is stored as its 32-bit length, its bytes and a closing zero:
// the first bytes of an aiString.
aiReturn aiMaterial::AddProperty(const aiString* pInput, const char* pKey, unsigned int type, unsigned int index) {
  if (pInput == nullptr) return AI_FAILURE;
  return AddBinaryProperty(pInput, static_cast<unsigned>(sizeof(pInput->length) + pInput->length + 1), pKey, type,
                           index, aiPTI_String);
}

aiReturn aiGetMaterialProperty(const aiMaterial* pMat, const char* pKey, unsigned int type, unsigned int index,
                               const aiMaterialProperty** pPropOut) {
  if (pPropOut == nullptr) return AI_FAILURE;
  *pPropOut = Find(pMat, pKey, type, index);
  return *pPropOut != nullptr ? AI_SUCCESS : AI_FAILURE;
}

aiReturn aiGetMaterialFloatArray(const aiMaterial* pMat, const char* pKey, unsigned int type, unsigned int index,
                                 ai_real* pOut, unsigned int* pMax) {
  return Numbers(Find(pMat, pKey, type, index), pOut, pMax);
}

aiReturn aiGetMaterialIntegerArray(const aiMaterial* pMat, const char* pKey, unsigned int type, unsigned int index,
                                   int* pOut, unsigned int* pMax) {
  return Numbers(Find(pMat, pKey, type, index), pOut, pMax);
}

// A colour stored as R, G, B gets an alpha of 1.
aiReturn aiGetMaterialColor(const aiMaterial* pMat, const char* pKey, unsigned int type, unsigned int index,
                            aiColor4D* pOut) {
  if (pOut == nullptr) return AI_FAILURE;
  ai_real values[4] = {0, 0, 0, 0};
  unsigned count = 4;
  const aiReturn found = aiGetMaterialFloatArray(pMat, pKey, type, index, values, &count);
  if (found != AI_SUCCESS || count < 3) return AI_FAILURE;
  *pOut = aiColor4D(values[0], values[1], values[2], count == 3 ? ai_real(1) : values[3]);
  return AI_SUCCESS;
}

aiReturn aiGetMaterialString(const aiMaterial* pMat, const char* pKey, unsigned int type, unsigned int index,
                             aiString* pOut) {
  const aiMaterialProperty* p = Find(pMat, pKey, type, index);
  if (p == nullptr || pOut == nullptr || p->mType != aiPTI_String || p->mDataLength < sizeof(std::uint32_t) + 1)
    return AI_FAILURE;
  std::uint32_t length = 0;
  std::memcpy(&length, p->mData, sizeof length);
  // The stored length is trusted only as far as the stored bytes go.
  length = std::min<std::uint32_t>({length, p->mDataLength - static_cast<unsigned>(sizeof length) - 1, MAXLEN - 1});
  pOut->length = length;
  std::memcpy(pOut->data, p->mData + sizeof length, length);
  pOut->data[length] = '\0';
  return AI_SUCCESS;
}

aiReturn aiGetMaterialTexture(const aiMaterial* mat, aiTextureType type, unsigned int index, aiString* path,
                              aiTextureMapping* mapping, unsigned int* uvindex, ai_real* blend, aiTextureOp* op,
                              aiTextureMapMode* mapmode, unsigned int* flags) {
  if (aiGetMaterialString(mat, AI_MATKEY_TEXTURE(type, index), path) != AI_SUCCESS) return AI_FAILURE;
  // What the material does not state keeps the documented defaults: UV
  // mapping from the first channel.
  int value = aiTextureMapping_UV;
  if (mapping != nullptr) {
    aiGetMaterialInteger(mat, AI_MATKEY_MAPPING(type, index), &value);
    *mapping = static_cast<aiTextureMapping>(value);
  }
  if (uvindex != nullptr) {
    int channel = 0;
    aiGetMaterialInteger(mat, AI_MATKEY_UVWSRC(type, index), &channel);
    *uvindex = static_cast<unsigned>(channel);
  }
  if (blend != nullptr) aiGetMaterialFloat(mat, AI_MATKEY_TEXBLEND(type, index), blend);
  if (op != nullptr) {
    int operation = 0;
    if (aiGetMaterialInteger(mat, AI_MATKEY_TEXOP(type, index), &operation) == AI_SUCCESS)
      *op = static_cast<aiTextureOp>(operation);
  }
  if (mapmode != nullptr) {
    int mode = aiTextureMapMode_Wrap;
    aiGetMaterialInteger(mat, AI_MATKEY_MAPPINGMODE_U(type, index), &mode);
    mapmode[0] = static_cast<aiTextureMapMode>(mode);
    mode = aiTextureMapMode_Wrap;
    aiGetMaterialInteger(mat, AI_MATKEY_MAPPINGMODE_V(type, index), &mode);
    mapmode[1] = static_cast<aiTextureMapMode>(mode);
  }
  if (flags != nullptr) {
    int textureFlags = 0;
    aiGetMaterialInteger(mat, AI_MATKEY_TEXFLAGS(type, index), &textureFlags);
    *flags = static_cast<unsigned>(textureFlags);
  }
  return AI_SUCCESS;
}
