/*
 * QAVSeal PKCS#11 module: vendor-defined values.
 *
 * No PKCS#11 version defines SM2 or SM3; the module offers them under these
 * vendor values (the key type and the SM3 digest reuse numbers other public
 * modules use). Include after a PKCS#11 header, or use the numbers as they
 * are (pkcs11-tool -m 0x80000A01).
 *
 * CKK_QAV_SM2      key type of SM2 keys. Their public key objects carry
 *                  CKA_EC_PARAMS = the DER OID 1.2.156.10197.1.301
 *                  (06 08 2A 81 1C CF 55 01 82 2D) and CKA_EC_POINT = the DER
 *                  OCTET STRING of 04 || x || y.
 * CKM_QAV_SM2      signs a 32-byte hash e; the signature is r || s, 64 bytes.
 * CKM_QAV_SM2_SM3  signs a message: e = SM3(Z || M), Z from the public key and
 *                  the default identifier "1234567812345678"; r || s.
 * CKM_QAV_SM3      SM3 digest, 32 bytes.
 *
 * Objects come from each container's certificate: a container without a
 * certificate shows no key objects.
 */
#ifndef QAVSEAL_QAVSEAL_PKCS11_H
#define QAVSEAL_QAVSEAL_PKCS11_H

#define CKK_QAV_SM2 0x80000016UL     /* CKK_VENDOR_DEFINED + 0x16 */
#define CKM_QAV_SM2 0x80000A01UL     /* CKM_VENDOR_DEFINED + 0xA01 */
#define CKM_QAV_SM2_SM3 0x80000A02UL /* CKM_VENDOR_DEFINED + 0xA02 */
#define CKM_QAV_SM3 0x80000B01UL     /* CKM_VENDOR_DEFINED + 0xB01 */

/* The identifier CKM_QAV_SM2_SM3 puts into Z. */
#define QAV_SM2_DEFAULT_ID "1234567812345678"

/* Seal pictures are data objects (CKO_DATA), one per picture the key holds,
 * read when the token is first used: CKA_APPLICATION is this text,
 * CKA_LABEL "Seal picture N" (N = 1, 2, ...), CKA_VALUE the PNG image.
 * Public: the card hands them out without a PIN. */
#define QAV_SEAL_PICTURE_APPLICATION "QAVSeal seal picture"

#endif /* QAVSEAL_QAVSEAL_PKCS11_H */
