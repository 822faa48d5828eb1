#include "plugin/Prelude.h"

#include "plugin/Texts.h"

namespace crw {

const char* const kMakerNickname = "Nova Tamsin";
const char* const kMakerIdString = "Epic|5f3c9a1e7b2d4c6f8a0e1b3d5c7f9a2e|0";

TextTable englishTextTable()
{
    TextTable t;
    t.languageName = "English";
    t.languageLabel = "Language";
    t.lastUpdate = "last Update";
    t.report = "Report";
    t.credits = "Credits";
    t.filter = "Filter";
    t.create = "Create";
    t.edit = "Edit";
    t.titleLabel = "Title";
    t.creatorLabel = "Creator";
    t.playlistsLabel = "Playlists";
    t.regionsLabel = "Regions";
    t.languagesLabel = "Languages";
    t.voiceChatLabel = "VoiceChat";
    t.any = "Any";
    t.rangeLabel = "Range";
    t.reset = "Reset";
    t.confirm = "Confirm";
    t.apply = "Apply";
    t.close = "Close";
    t.cancel = "Cancel";
    t.stopLabel = "Stop";
    t.updateChanges = "Update Changes";
    t.yes = "Yes";
    t.no = "No";
    t.titleEmpty = "Title is empty !";
    t.selectPlaylist = "Select at least one playlist !";
    t.areYouSure = "Are you sure ?";
    t.nothingChanged = "You didn't change anything !";
    t.confirmUpdate = "Do you really want to update the changes ?";
    t.confirmStop = "Do you really want to stop ?";
    t.confirmInvite = "Do you want to request an invite from";
    t.helpImprove = "Help me improve the plugin !";
    t.reportForm = "If you have experienced any kind of issues or if you have suggestions, please complete this form :";
    t.creditsMaker = "Plugin made by Nova Tamsin (chat handle: NovaTamsin#2048). Contact me on Twitter or YouTube if you want a custom plugin made for you !";
    t.creditsImages = "The playlist images come from the Playlist Badges plugin by Orrin Vale, take a look at it :";
    t.creditsThanks = "Thanks to Lio Marsh for the help !";
    t.howToUse = "How to use";
    t.searchHeading = "Search :";
    t.searchHelp = "You can refresh by clicking on the circle arrow, every person who are registered will be displayed. Choose someone you are ineterested in and double click to request an invite to join his group.";
    t.filterHelp = "You can search with keywords, apply filters to find the exact mate you need.";
    t.createHeading = "Create :";
    t.createHelp = "If you want to be visible on the plugin, click on \"Create\", here you just need to provide a title and at least one playlist.";
    t.rangeHelp = "For the playlists, you can provide a \"Range\", it's the range of mmr where the people can see you on the plugin.";
    t.rangeExample = "It means if you have 1200 mmr in 2v2 and you enter a range of 50 for the 2v2 playlist, only people with a 2v2 mmr between 1150 and 1250 will see you on the plugin (in other words : your mmr - range < people mmr < your mmr + range).";
    t.rangeZero = "If you don't want to provide a range just let it to 0.";
    t.otherHelp = "The playlist \"Other\" can be used for anything else, for example if you search for private matches, scrims, limited time game modes, multiplayer workshop maps, trading items, etc...";
    t.voiceChatHelp = "You can select if you want to have VoiceChat ON, VoiceChat OFF or VoiceChat ON/OFF if it doesn't matter.";
    t.optionalHelp = "Regions and languages are optionnal, if you don't select any regions/languages it means all the regions/languages are fine.";
    t.tooFast = "Too fast, don't spam !";
    t.tooFastInvites = "Too fast, don't spam invites, wait 10 seconds !";
    return t;
}

TextTable frenchTextTable()
{
    TextTable t;
    t.languageName = "French";
    t.languageLabel = "Langue";
    t.lastUpdate = "Derniere Mise A Jour";
    t.report = "Signaler";
    t.credits = "Credits";
    t.filter = "Filtrer";
    t.create = "Creer";
    t.edit = "Editer";
    t.titleLabel = "Titre";
    t.creatorLabel = "Createur";
    t.playlistsLabel = "Playlists";
    t.regionsLabel = "Regions";
    t.languagesLabel = "Langues";
    t.voiceChatLabel = "Chat Vocal";
    t.any = "Toutes";
    t.rangeLabel = "Range";
    t.reset = "Reinitialiser";
    t.confirm = "Confirmer";
    t.apply = "Appliquer";
    t.close = "Fermer";
    t.cancel = "Annuler";
    t.stopLabel = "Arreter";
    t.updateChanges = "Confirmer Changements";
    t.yes = "Oui";
    t.no = "Non";
    t.titleEmpty = "Le titre est vide !";
    t.selectPlaylist = "Selectionnez au moins une playlist !";
    t.areYouSure = "Etes-vous sur ?";
    t.nothingChanged = "Vous n'avez rien change !";
    t.confirmUpdate = "Voulez-vous vraiment mettre a jour les changements ?";
    t.confirmStop = "Voulez-vous vraiment arreter ?";
    t.confirmInvite = "Voulez-vous demander une invitation de";
    t.helpImprove = "Aidez moi a ameliorer le plugin !";
    t.reportForm = "Si vous avez rencontre des problemes ou si vous avez des suggestions, merci de remplir ce petit formulaire :";
    t.creditsMaker = "Plugin fait par Nova Tamsin (pseudo de chat : NovaTamsin#2048). Contactez moi sur Twitter ou YouTube si vous voulez un plugin sur mesure !";
    t.creditsImages = "Les images des playlists viennent du plugin Playlist Badges de Orrin Vale, allez y jeter un oeil :";
    t.creditsThanks = "Merci a Lio Marsh pour son aide !";
    t.howToUse = "Comment Utiliser";
    t.searchHeading = "Rechercher :";
    t.searchHelp = "Vous pouvez actualiser en cliquant sur la fleche, toutes les personnes qui sont sur le plugin seront affiche. Choisissez quelqu'un qui vous interesse et double cliquez pour demander a recevoir une invitation pour rejoindre son groupe.";
    t.filterHelp = "Vous pouvez rechercher par mots-cles, filtrer pour trouver le coequipier exacte que vous cherchez.";
    t.createHeading = "Creer :";
    t.createHelp = "Si vous voulez etre visible sur le plugin, cliquez sur \"Creer\", ici vous avez juste a entrer un titre et au moins une playlist.";
    t.rangeHelp = "Pour les playlists, vous pouvez entrer une \"Range\", c'est la range de mmr dans laquelle les gens peuvent vous voir sur le plugin.";
    t.rangeExample = "C'est-a-dire que par exemple si vous avez 1200 mmr en 2v2 et que vous entrez une Range de 50 pour la playlist 2v2, il n'y a que les personnes avec un mmr en 2v2 compris entre 1150 et 1250 qui peuvent vous voir sur le plugin (en d'autres termes : votre mmr - range < mmr de la personne < votre mmr + range).";
    t.rangeZero = "Si vous ne voulez pas entrer une Range, laissez la juste a 0.";
    t.otherHelp = "La playlist \"Autre\" peut etre utiliser pour n'importe quoi d'autre, par exemple si vous chercher a faire des matchs prives, scrims, modes de jeu limites, maps workshop en multijoueur, echange d'items, etc...";
    t.voiceChatHelp = "Vous pouvez selectionner si vous voulez avoir le Chat Vocal ON, Chat Vocal OFF ou Chat Vocal ON/OFF si ca n'a pas d'importance.";
    t.optionalHelp = "\"Regions\" et \"Langues\" sont optionnels, si vous ne selectionnez aucune regions/langues cela veut dire que toutes les regions/langues sont bonnes.";
    t.tooFast = "Trop rapide, ne spammez pas !";
    t.tooFastInvites = "Trop rapide, ne spammez pas les invitations, attendez 10 secondes !";
    return t;
}

std::vector<PlaylistSetting> fixedPlaylists()
{
    static const std::pair<const char*, int32_t> rows[] = {
        {"Ranked-2v2", 11}, {"Ranked-3v3", 13}, {"Casual-2v2", 2}, {"Casual-3v3", 3}, {"Tournament", 22},
        {"Rumble", 28},     {"Dropshot", 29},   {"Hoops", 27},     {"Snowday", 30},   {"Other", -1}};
    std::vector<PlaylistSetting> out;
    for (const auto& [name, id] : rows) {
        PlaylistSetting p;
        p.name = name;
        p.id = id;
        out.push_back(p);
    }
    return out;
}

static std::vector<NamedFlag> flags(std::initializer_list<const char*> names)
{
    std::vector<NamedFlag> out;
    for (const char* n : names) {
        out.push_back(NamedFlag{n, false});
    }
    return out;
}

std::vector<NamedFlag> fixedRegions()
{
    return flags({"Europe", "US-East", "US-West", "Asia-SE Mainland", "Asia-SE Maritime", "Asia-East", "Middle-East",
                  "Oceania", "South Africa", "South America", "India"});
}

std::vector<NamedFlag> fixedLanguages()
{
    return flags({"Albanian",   "Arabic",     "Bulgarian", "Chinese",    "Croatian",  "Czech",     "Danish",
                  "Dutch",      "English",    "Estonian",  "Finnish",    "French",    "German",    "Greek",
                  "Hungarian",  "Indonesian", "Irish",     "Italian",    "Japanese",  "Korean",    "Lithuanian",
                  "Macedonian", "Norwegian",  "Polish",    "Portuguese", "Romanian",  "Russian",   "Serbian",
                  "Slovak",     "Slovenian",  "Spanish",   "Swedish",    "Thai",       "Turkish",  "Ukrainian",
                  "Vietnamese"});
}

} // namespace crw
