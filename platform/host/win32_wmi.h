// Host build: the WMI interfaces the system uses and implements, with the method order
// and parameters of the Windows SDK, so that code implementing them compiles on both
// builds. The host's WMI serves Win32_LogicalDisk creation and deletion events.
#pragma once

#include "platform/host/win32_com.h"
#include "platform/host/win32_oleauto.h"

typedef LONG CIMTYPE;
struct IWbemQualifierSet;
struct IWbemContext;
struct IWbemCallResult;
struct IEnumWbemClassObject;

#define WBEM_S_NO_ERROR 0L
#define WBEM_NO_ERROR 0L
#define WBEM_STATUS_COMPLETE 0L
#define WBEM_STATUS_REQUIREMENTS 1L
#define WBEM_STATUS_PROGRESS 2L
#define WBEM_FLAG_SEND_STATUS 0x80L
#define WBEM_E_FAILED static_cast<HRESULT>(0x80041001L)
#define WBEM_E_NOT_FOUND static_cast<HRESULT>(0x80041002L)
#define WBEM_E_INVALID_PARAMETER static_cast<HRESULT>(0x80041008L)
#define WBEM_E_NOT_SUPPORTED static_cast<HRESULT>(0x8004100CL)
#define WBEM_E_INVALID_NAMESPACE static_cast<HRESULT>(0x8004100EL)
#define WBEM_E_INVALID_QUERY static_cast<HRESULT>(0x80041017L)
#define WBEM_E_INVALID_QUERY_TYPE static_cast<HRESULT>(0x80041018L)
#define WBEM_E_CALL_CANCELLED static_cast<HRESULT>(0x80041032L)

struct IWbemClassObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** qualifierSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                        LONG* flavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR qualifierName, LONG flags,
                                             VARIANT* qualifierValue, SAFEARRAY** names) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG enumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type,
                                         LONG* flavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR property,
                                                            IWbemQualifierSet** qualifierSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG flags, BSTR* objectText) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG flags, IWbemClassObject** newClass) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** newInstance) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG flags, IWbemClassObject* compareTo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR name, BSTR* className) = 0;
  virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR ancestor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags,
                                              IWbemClassObject** inSignature,
                                              IWbemClassObject** outSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR name, LONG flags,
                                              IWbemClassObject* inSignature,
                                              IWbemClassObject* outSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR name) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG enumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG flags, BSTR* name,
                                               IWbemClassObject** inSignature,
                                               IWbemClassObject** outSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR method,
                                                          IWbemQualifierSet** qualifierSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR methodName, BSTR* className) = 0;

 protected:
  ~IWbemClassObject() = default;
};

struct IWbemObjectSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR parameter,
                                              IWbemClassObject* objectParameter) = 0;

 protected:
  ~IWbemObjectSink() = default;
};

struct IWbemServices : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR name, LONG flags,
                                                  IWbemContext* context,
                                                  IWbemServices** workingNamespace,
                                                  IWbemCallResult** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG flags, IWbemObjectSink** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context,
                                              IWbemClassObject** object,
                                              IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR path, LONG flags,
                                                   IWbemContext* context,
                                                   IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* object, LONG flags,
                                             IWbemContext* context,
                                             IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* object, LONG flags,
                                                  IWbemContext* context,
                                                  IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR className, LONG flags,
                                                IWbemContext* context,
                                                IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR className, LONG flags,
                                                     IWbemContext* context,
                                                     IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR superclass, LONG flags,
                                                    IWbemContext* context,
                                                    IEnumWbemClassObject** enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR superclass, LONG flags,
                                                         IWbemContext* context,
                                                         IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* instance, LONG flags,
                                                IWbemContext* context,
                                                IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* instance, LONG flags,
                                                     IWbemContext* context,
                                                     IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR path, LONG flags,
                                                   IWbemContext* context,
                                                   IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR path, LONG flags,
                                                        IWbemContext* context,
                                                        IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR filter, LONG flags,
                                                       IWbemContext* context,
                                                       IEnumWbemClassObject** enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR filter, LONG flags,
                                                            IWbemContext* context,
                                                            IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags,
                                              IWbemContext* context,
                                              IEnumWbemClassObject** enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR language, const BSTR query,
                                                   LONG flags, IWbemContext* context,
                                                   IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR language, const BSTR query,
                                                          LONG flags, IWbemContext* context,
                                                          IEnumWbemClassObject** enumerator) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR language,
                                                               const BSTR query, LONG flags,
                                                               IWbemContext* context,
                                                               IWbemObjectSink* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR methodName, LONG flags,
                                               IWbemContext* context, IWbemClassObject* inParams,
                                               IWbemClassObject** outParams,
                                               IWbemCallResult** callResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR path, const BSTR methodName,
                                                    LONG flags, IWbemContext* context,
                                                    IWbemClassObject* inParams,
                                                    IWbemObjectSink* handler) = 0;

 protected:
  ~IWbemServices() = default;
};

struct IWbemLocator : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR networkResource, const BSTR user,
                                                  const BSTR password, const BSTR locale,
                                                  LONG securityFlags, const BSTR authority,
                                                  IWbemContext* context,
                                                  IWbemServices** services) = 0;

 protected:
  ~IWbemLocator() = default;
};

struct IUnsecuredApartment : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) = 0;

 protected:
  ~IUnsecuredApartment() = default;
};

extern const IID IID_IWbemClassObject;
extern const IID IID_IWbemObjectSink;
extern const IID IID_IWbemServices;
extern const IID IID_IWbemLocator;
extern const IID IID_IUnsecuredApartment;
extern const CLSID CLSID_WbemLocator;
extern const CLSID CLSID_UnsecuredApartment;

// COM object creation and proxy security, as the card monitor reaches WMI: only the WMI
// locator is served.
HRESULT WINAPI CoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID iid,
                                LPVOID* object);
HRESULT WINAPI CoSetProxyBlanket(IUnknown* proxy, DWORD authenticationService,
                                 DWORD authorizationService, OLECHAR* serverPrincipalName,
                                 DWORD authenticationLevel, DWORD impersonationLevel,
                                 void* authenticationInfo, DWORD capabilities);
