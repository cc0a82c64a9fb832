#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

int Containers(const Options& options, const int&) {
    return WithSession(options, [&](Session& session, Output& out) {
        char** names = nullptr;
        uint32_t count = 0;
        if (const uint32_t rc = QAV_GetContainerList(session.Handle(), &names, &count, 0)) {
            return out.Fail("listing the containers", rc);
        }
        out.List("containers", std::vector<std::string>(names, names + count));
        return out.Done();
    });
}

struct CertArgs {
    std::string container;
    std::string out;
    bool pem = false;
};

int Cert(const Options& options, const CertArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes der;
        const uint32_t rc = AskAndFill(&der, [&](uint8_t* buffer, uint32_t* length) {
            return QAV_ReadCert(session.Handle(), args.container.c_str(), buffer, length, 0);
        });
        // An empty certificate file cannot even be read at its start (the
        // card's "wrong offset"); one without a DER element gives no size.
        if ((rc == QAV_OK && der.empty()) || rc == QAV_CARD_STATUS(0x6B00)) {
            return out.Fail("reading the certificate", rc == QAV_OK ? QAV_E_NOT_FOUND : rc,
                            "container " + args.container + " holds no certificate");
        }
        if (rc != QAV_OK) return out.Fail("reading the certificate", rc);
        if (!args.pem) return Emit(out, args.out, "certificate", der);
        const std::string pem = Pem("CERTIFICATE", der);
        if (args.out.empty()) {
            out.Field("certificate", pem);
            return out.Done();
        }
        if (!WriteFileBytes(args.out, reinterpret_cast<const uint8_t*>(pem.data()), pem.size())) {
            return out.Usage("cannot write " + args.out);
        }
        out.Field("written", args.out);
        return out.Done();
    });
}

struct VerifyCertArgs {
    std::string keyPair;
    std::string issuer;
    std::string store;
    uint32_t algorithm = 1;
    std::string in;
};

int VerifyCert(const Options& options, const VerifyCertArgs& args) {
    Bytes certificate;
    std::string error;
    if (!ReadInputFile(args.in, &certificate, &error)) return Output(options.json).Usage(error);
    return WithSession(options, [&](Session& session, Output& out) {
        if (const uint32_t rc = QAV_VerifyCertData(
                session.Handle(), args.keyPair.c_str(), args.issuer.c_str(), args.store.c_str(),
                args.algorithm, certificate.data(), static_cast<uint32_t>(certificate.size()), 0)) {
            return out.Fail("having the card check the certificate", rc);
        }
        out.Field("certificate", "verified");
        return out.Done();
    });
}

}  // namespace

void AddContainerCommands(Registry registry) {
    auto none = std::make_shared<int>();
    AddCommand(registry, registry.app, "containers", "list the key containers on the card", none,
               &Containers);

    auto cert = std::make_shared<CertArgs>();
    CLI::App* certCommand =
        AddCommand(registry, registry.app, "cert", "save a container's certificate", cert, &Cert);
    certCommand->add_option("--container,-c", cert->container, "the container")->required();
    certCommand->add_option("--out,-o", cert->out, "write the certificate to this file");
    certCommand->add_flag("--pem", cert->pem, "PEM instead of DER");

    auto verify = std::make_shared<VerifyCertArgs>();
    CLI::App* verifyCommand =
        AddCommand(registry, registry.app, "verify-cert",
                   "have the card check a certificate's signature", verify, &VerifyCert);
    verifyCommand->add_option("--key-pair", verify->keyPair, "container A: its key pair")
        ->required();
    verifyCommand->add_option("--issuer", verify->issuer, "container B: the issuer's public key")
        ->required();
    verifyCommand->add_option("--store", verify->store, "container C: where the certificate goes")
        ->required();
    verifyCommand->add_option("--algorithm", verify->algorithm, "1 or 3")
        ->check(CLI::IsMember({1, 3}))
        ->capture_default_str();
    verifyCommand->add_option("--in,-i", verify->in, "the certificate (DER)")->required();
}

}  // namespace qavtool
