#pragma once
// The texts of the boxes the installation shows, exactly as users have always seen them
// (their spelling included). The end-to-end driver prints them for the scenarios to match.

namespace tallyx::messages {

inline constexpr char16_t kRunningInstallQuestion[] =
    u"Vantrel Tallyx est en cour d'\u00E9xecution.\r\nEnregistrer votre travail appuyer sur le "
    u"button [Oui] pour fermer Tallyx et appliquer les mises \u00E0 jour";
inline constexpr char16_t kRunningForcedQuestion[] =
    u"Vantrel Tallyx est en cour d'\u00E9xecution.\r\nEnregistrer votre travail et fermer "
    u"Vantrel Tallyx puis r\u00E9essayer";
inline constexpr char16_t kInstalled[] = u"Mise \u00E0 jour effectu\u00E9 avec succ\u00E8s";
inline constexpr char16_t kInstallFailed[] = u"Erreur dans l'installation du mise \u00E0 jour";
inline constexpr char16_t kForcedFailed[] = u"Erreur dans la lecture du fichier mise \u00E0 jour";
inline constexpr char16_t kNeedsAdministrator[] =
    u"Les droits d'administrateur sont n\u00E9cessaires pour installer la mise \u00E0 jour "
    u"dans ce dossier.";

}  // namespace tallyx::messages
